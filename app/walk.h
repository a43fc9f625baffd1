// One box's walk over its ports and slots: every sensor read is saved to the
// outputs the options ask for, and every failure is said and decided here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/site_file.h"
#include "app/walk_summary.h"
#include "device/getdata.h"

class collected;
class datafile;
struct output_context;

// Exit statuses, for schedulers and batch files.
constexpr int kWalkEndedEarly = 1;
constexpr int kSensorNotSaved = 2;

// One box's walk, apart from how the run was asked for: its connection,
// writer, record, exports and console are the caller's.
struct walk_setup {
  std::string address, password;
  std::string name;  // the box's name for labels; its address when ""
  bool progress = false;  // a progress line on standard error
  clock_type::time_point deadline = clock_type::time_point::max();
  int64_t started = 0;  // the run's start, which names its OpenMetrics files
  int deadline_seconds = 0;
  std::vector<const site_store*> stores;  // pushed to, each with its own mark
};

// Status -1 (and outcome "no socket") when no socket could be opened: the
// connection's listener has said so, and nothing more can be read.
walk_summary walk_box(const options& run, const walk_setup& box, getdata& conn, datafile& writer,
                      collected& state, const output_context& ctx);

// The marks of the outputs a run writes: a sensor is downloaded from the
// oldest of them.
std::vector<std::string> used_marks(const options& run);

// What the walk does after a slot that could not be read.
enum class after_failure { next_slot, next_port, end_walk };

struct failure_verdict {
  after_failure next = after_failure::next_slot;
  bool unread = true;            // the slot held a sensor that could not be read
  const char* ending = nullptr;  // with end_walk: the summary's words
};

// Says on `out` what the failed read of a slot on `port` (from 0) came to
// and decides what follows. Only box bytes are read as box errors; a socket
// error or a local code is told by its number.
failure_verdict judge_failure(message_sink& out, const read_result& result, int port);

// The connection's own events, said as they happen.
struct link_messages : link_listener {
  explicit link_messages(message_sink& sink) : out(sink) {}
  message_sink& out;
  void startup_failed(int error) override;
  void no_socket(int error, bool select_failed) override;
  void empty_log(int port_shown) override;
  void send_failed(int error) override;
  void no_status_record() override;
  void read_before_status() override;
};

// The connection's hooks point into the caller's locals; they go with it.
struct HookGuard {
  getdata& conn;
  ~HookGuard() {
    conn.set_listener(nullptr);
    conn.choose_samples = nullptr;
    conn.progress = nullptr;
    conn.on_attempt = nullptr;
  }
};
