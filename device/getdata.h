// The connection to the box: reads one sensor's status and whole datalog per
// read_sensor call. One object serves the whole run and reuses its status
// record and sample buffer for every sensor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/coding.h"
#include "device/messages.h"
#include "device/reading.h"
#include "platform/udp.h"

// What one read_sensor call came to.
enum class read_outcome {
  read,          // status and the samples asked for were read
  no_reply,      // the box did not answer (kErrNoReply)
  old_firmware,  // kErrOldFirmware
  empty_log,     // kErrEmptyLog
  invalid_log,   // kErrInvalidLog
  box_error,     // the box answered with an error byte
  socket_error,  // a socket call failed while reading
  local_error,   // kErrTimeout, kErrNoStatusRecord or kErrAbandoned
  no_socket,     // no socket could be opened: nothing can be read at all
};

struct read_result {
  read_outcome what = read_outcome::read;
  // The box byte sign-extended, the socket error number, or the local code;
  // 0 when read.
  int32_t code = 0;
};

// What the connection has to tell; the caller decides what is said. Every
// event does nothing unless overridden.
struct link_listener {
  virtual ~link_listener() = default;
  // The socket layer could not be started (told once, also when the failure
  // came before the listener was set).
  virtual void startup_failed(int /*error*/) {}
  // No socket could be opened; select_failed when it could not be made or
  // readied for waits, rather than bound.
  virtual void no_socket(int /*error*/, bool /*select_failed*/) {}
  virtual void empty_log(int /*port_shown*/) {}
  virtual void send_failed(int /*error*/) {}
  virtual void no_status_record() {}
  virtual void read_before_status() {}
};

class getdata {
 public:
  // The box port and the reply wait are parameters for tests; the program
  // uses the defaults.
  explicit getdata(uint16_t box_port = kBoxPort, int wait_ms = kReplyWaitMs);
  virtual ~getdata();
  getdata(const getdata&) = delete;
  getdata& operator=(const getdata&) = delete;

  // 0 when the status and the whole datalog were read; -1 otherwise, with the
  // reason in last_error and, typed, in last_result.
  int read_sensor(const char* address, const char* password, int port, int slot);
  // What the last read_sensor came to.
  read_result last_result() const { return result_; }
  // Where events go; nullptr (the default) drops them. Not owned.
  void set_listener(link_listener* listener);
  int readstatus();
  int read_data();
  // Sample `index` (0 = oldest) widened to 32 bits; 0 outside the buffer.
  int32_t get_value(int index) const { return view().get_value(index); }

  // The sensor last read, for the outputs; valid until the next read_sensor.
  reading view() const;

  // Asked once per sensor, after its status was read: how many of the newest
  // samples to download. Unset, negative or above logCount: the whole
  // datalog; 0: none, and read_sensor returns 0 with no samples held.
  std::function<int(const getdata&)> choose_samples;
  // Told after each data reply taken: samples done of those asked for.
  std::function<void(const getdata&, int done, int total)> progress;
  // Told as each request is sent: which of the kAttempts tries it is (from 1).
  std::function<void(const getdata&, int attempt)> on_attempt;
  // Samples the current download asks for: the newest of the datalog.
  int download_count() const;

  // The box's port, where requests go.
  uint16_t box_port() const { return box_port_; }

  int open_socket();
  int send_packet(const uint8_t* data, int length);
  // Length of one datagram received within timeout_ms (0 is possible), or -1
  // with the reason in last_error.
  int recv_packet(uint8_t* buffer, int size, int timeout_ms, Peer* from);

  // What one received datagram does while a reply is awaited, apart from the
  // socket, so it can also be driven without one.
  // Status reply awaited: kAccept fills the status record, kBoxError and
  // kOldFirmware leave their code in last_error; kDrop changes nothing.
  Verdict take_status_reply(const Datagram& d);
  // Readies the download of the datalog that the status record describes:
  // the sample buffer and the fixed part of the data request. False, with
  // 107 in last_error, for a datalog that cannot be downloaded.
  bool begin_download();
  // Writes the data request for the chunk from sample index `done` on and
  // returns the number of samples it asks for.
  int request_chunk(int done);
  // Data reply awaited for `asked` samples from sample index *done on:
  // kAccept copies the reply's samples and advances *done by their count,
  // kBoxError leaves its code in last_error; kDrop changes nothing.
  Verdict take_data_reply(const Datagram& d, int asked, int* done);

  uint8_t recv_buf[1500] = {};
  uint8_t send_buf[32] = {};  // never cleared: bytes 3-6 carry over
  std::unique_ptr<SensorStatus> status;
  uint8_t* send_ptr = send_buf;  // requests are written through it
  uint8_t* recv_ptr = recv_buf;  // replies are received and read through it
  std::string address;           // as the user typed it
  int32_t last_error = 0;
  uint32_t box_ip = 0;  // network order
  std::vector<uint8_t> samples;
  UdpSocket sock;  // open during a read_sensor only
  Peer local;      // where the socket is bound: any address, any port
  uint8_t port = 0;
  uint8_t slot = 0;

 private:
  // One request and the receiving that follows it, until `judge` settles it
  // (kAccept, kBoxError, kOldFirmware: returned with the datagram's length in
  // *len) or the attempt's wait runs out (kDrop).
  template <typename Judge>
  Verdict attempt(Judge judge, int* len);
  void discard_waiting();
  void close_socket();

  UdpLayer layer_;
  link_listener* listener_ = nullptr;
  bool startup_untold_ = false;  // the failure waits for the first listener
  bool select_failed_ = false;   // why the last open_socket failed
  read_result result_;
  uint16_t box_port_;
  int wait_ms_;
  int wanted_ = -1;  // from choose_samples; -1: the whole datalog
};
