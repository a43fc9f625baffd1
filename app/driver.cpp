#include "app/driver.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/collected.h"
#include "app/options.h"
#include "app/progress.h"
#include "app/say.h"
#include "app/site_run.h"
#include "device/getdata.h"
#include "device/messages.h"
#include "platform/console.h"
#include "platform/files.h"
#include "report/chart_page.h"
#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/exports.h"
#include "report/handoff.h"
#include "report/sink.h"
#include "report/site_page.h"
#include "zonetime/zone_time.h"

namespace {
constexpr int kInputSize = 100;
constexpr int kPorts = 8;
constexpr int kSlots = 2;

// White space as the C locale has it, whatever locale is set.
bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string ask(std::FILE* in) {
  char buffer[kInputSize];
  read_word(in, buffer, kInputSize);
  return buffer;
}

// Typed passwords stay off the screen; piped input is read as it comes.
std::string ask_hidden(std::FILE* in) {
  const bool hidden = console_is_terminal(in) && console_set_echo(in, false);
  std::string answer = ask(in);
  if (hidden) {
    console_set_echo(in, true);
    say("\n");  // the Enter that ended the answer was not echoed either
  }
  return answer;
}

struct RunState {
  std::string address;
  std::string password;
  bool address_present = false;
  bool password_present = false;
  bool overwrite = false;
  bool incremental = false;  // -n
  bool history = false;      // -c, and -w
  bool page = false;         // -w
  unsigned exports = 0;      // -x: export_format bits
  std::string textfile;      // -m
  std::string site_file;     // -f
};

// Exit statuses, for schedulers and batch files.
constexpr int kWalkEndedEarly = 1;
constexpr int kSensorNotSaved = 2;

// What the walk does after a failed slot.
enum class Next { kSlot, kPort, kEnd };

Next report_failure(message_sink& out, int32_t last_error, int port) {
  const int shown_port = port + 1;
  switch (static_cast<uint8_t>(last_error)) {
    case kErrNoReply:
      out.say("No %s reply !\n", kProductName);
      return Next::kEnd;
    case kErrOldFirmware:
      out.say("Please update firmware on %s\n", kProductName);
      return Next::kEnd;
    case kErrEmptyLog:  // the connection has said so already
      return Next::kSlot;
    case kErrInvalidLog:
      out.say("Sensor on port %d has an invalid datalog !\n", shown_port);
      return Next::kSlot;
    case kBoxWrongPassword:
      out.say("Wrong password !\n");
      return Next::kEnd;
    case kBoxErrorFB:
    case kBoxErrorFC:
      return Next::kSlot;
    case kBoxPortOffline:
      out.say("Port %d offline.\n", shown_port);
      return Next::kPort;
    case kBoxNoDatalog:
      out.say("Sensor on port %d has no datalog.\n", shown_port);
      return Next::kSlot;
    default:
      out.say("Read %s status, return unknown error (%d).\n", kProductName,
              static_cast<int>(last_error));
      return Next::kSlot;
  }
}

// The summary's words for a code that ends the walk.
const char* ending_of(int32_t last_error) {
  switch (static_cast<uint8_t>(last_error)) {
    case kErrNoReply:
      return "ended early: no reply";
    case kErrOldFirmware:
      return "ended early: firmware too old";
    case kBoxWrongPassword:
      return "ended early: wrong password";
    default:
      return "ended early";
  }
}

// Whether a failed slot held a sensor that could not be read. An
// empty datalog, an offline port or a slot without a datalog had nothing.
bool sensor_unread(int32_t last_error) {
  switch (static_cast<uint8_t>(last_error)) {
    case kErrEmptyLog:
    case kBoxPortOffline:
    case kBoxNoDatalog:
      return false;
    default:
      return true;
  }
}

// The connection's own events, said as they happen.
struct link_messages : link_listener {
  explicit link_messages(message_sink& sink) : out(sink) {}
  message_sink& out;
  void startup_failed(int error) override { out.say("Winsock startup failed. Error: %d", error); }
  void no_socket(int error, bool select_failed) override {
    if (select_failed) out.say("Socket select event error (%d)!\n", error);
    out.say("Open socket on client error (%d)\nProgram halted !\n", error);
  }
  void empty_log(int port_shown) override {
    out.say("Sensor on port %d has no data in datalogger\n", port_shown);
  }
  void send_failed(int error) override { out.say("Sent a packet error(%d) !\n", error); }
  void no_status_record() override { out.say("Can't allocate memory for status buffer !\n"); }
  void read_before_status() override {
    out.say("Please call getdata::readstatus() before call getdata::read_data()\n");
  }
};

// The connection's hooks point into the walk's locals; they go with it.
struct HookGuard {
  getdata& conn;
  ~HookGuard() {
    conn.set_listener(nullptr);
    conn.choose_samples = nullptr;
    conn.progress = nullptr;
    conn.on_attempt = nullptr;
  }
};

// Returns false when the command line asks for no walk; *status is then the
// exit status.
bool scan_command_line(int argc, char** argv, RunState* run, int* status) {
  for (;;) {
    const char* arg = nullptr;
    // The long spellings of -? and -v, as other programs take them.
    const char* word = option_index < argc ? argv[option_index] : "";
    const bool long_help = std::strcmp(word, "--help") == 0;
    const bool long_version = std::strcmp(word, "--version") == 0;
    const int result = long_help      ? (++option_index, '?')
                       : long_version ? (++option_index, 'v')
                                      : scan_option(argc, argv, kOptionString, &arg);
    switch (result) {
      case 0:
        return true;
      case 1:
      case -1:
        say("Argument '%s' not recognized.\n", arg);
        *status = -1;
        return false;
      case 'i':
      case 'I':
        // Without its text the option counts as absent, so the prompt asks.
        if (arg != nullptr) {
          run->address_present = true;
          run->address = arg;
        }
        break;
      case 'p':
      case 'P':
        if (arg != nullptr) {
          run->password_present = true;
          run->password = arg;
        }
        break;
      case 'o':
      case 'O':
        run->overwrite = true;
        break;
      case 't':
      case 'T':
        use_local_time = 1;
        break;
      case 'n':
      case 'N':
        run->incremental = true;
        break;
      case 'c':
      case 'C':
        run->history = true;
        break;
      case 'w':
      case 'W':
        run->history = true;
        run->page = true;
        break;
      case 'x':
      case 'X':
        if (arg == nullptr || !parse_export_formats(arg, &run->exports)) {
          say("Argument '%s' not recognized.\n", arg != nullptr ? arg : argv[option_index - 1]);
          *status = -1;
          return false;
        }
        break;
      case 'm':
      case 'M':
      case 'f':
      case 'F':
        if (arg == nullptr) {
          say("Argument '%s' not recognized.\n", argv[option_index - 1]);
          *status = -1;
          return false;
        }
        (result == 'm' || result == 'M' ? run->textfile : run->site_file) = arg;
        break;
      case 'h':
      case '?':
        *status = print_usage();
        return false;
      case 'v':
      case 'V':
        say("logfetch %s\n", LOGFETCH_VERSION);
        *status = 0;
        return false;
      default:  // ":" is the only other character the scanner can return
        break;
    }
  }
}

// An export format of one walk: written whole when the walk ends, with its
// own mark, so that one that failed catches up on the next -n run.
struct store_export {
  const char* mark;
  std::unique_ptr<run_exports> out;
  // The sensors handed to it, for their marks once it is written.
  std::vector<std::unique_ptr<SensorStatus>> statuses;
  std::vector<reading> sensors;
};

// The marks of the outputs a run writes: a sensor is downloaded from the
// oldest of them.
std::vector<std::string> used_marks(const RunState& run) {
  std::vector<std::string> marks{kReportMark};
  if (run.history) marks.push_back(kHistoryMark);
  if (run.exports & kExportOpenMetrics) marks.push_back(kOpenMetricsMark);
  if (run.exports & kExportInflux) marks.push_back(kInfluxMark);
  return marks;
}

// One output file as it was before the sensor's samples went into it.
struct Before {
  std::string name;  // empty: no file to cut back
  long long size = -1;
  bool wrote = false;  // samples went into it this run
  void take(const std::string& file) {
    name = file;
    size = file_is_plain(file.c_str()) ? file_size(file.c_str()) : -1;
  }
  // Back to the old length, never longer; a file that did not exist is left
  // empty. Only ordinary files: a link or a device is never cut.
  void cut_back() const {
    const long long old = size < 0 ? 0 : size;
    if (!name.empty() && file_is_plain(name.c_str()) && file_size(name.c_str()) > old)
      file_truncate(name.c_str(), old);
  }
};

// The report and, with -c, the history of one sensor, each given only the
// samples past its own mark; then with -n the marks of those that were
// written. False when anything of it failed. An append that failed, or all
// appends when the marks could not be saved, are cut back, so that the files
// hold what the marks on disk say.
bool save_sensor(const reading& all, const RunState& run, datafile& writer, report_handoff& handoff,
                 csv_history& history, collected& state, run_exports& exports,
                 std::vector<store_export>& stores, const output_context& ctx) {
  message_sink& sink = *ctx.sink;
  const auto part = [&](const char* mark) {
    if (!run.incremental) return all;
    return newest_samples(all, state.lacking(all.address, all.slot, *all.status, mark));
  };
  bool ok = true;
  std::vector<std::string> written;
  Before report, csv;
  const reading for_report = part(kReportMark);
  if (!run.incremental || for_report.count > 0) {
    char name[100];
    // -o empties the file first: nothing to cut back to.
    if (!run.overwrite && writer.make_filename(name, sizeof name, for_report, 2) >= 0)
      report.take(ctx.folder + name);
    if (handoff.save(for_report) == 0) {
      written.push_back(kReportMark);
      report.wrote = true;
      // The run's counts (-m) are what the report saved.
      exports.add(for_report);
    } else {
      ok = false;  // the writer has left the file as it was
    }
  } else {
    written.push_back(kReportMark);  // had them all already
  }
  for (store_export& e : stores) {
    const reading tail = part(e.mark);
    if (run.incremental && tail.count == 0) continue;
    e.out->add(tail);
    e.statuses.emplace_back(new SensorStatus(*all.status));
    reading kept;
    kept.address = all.address;
    kept.status = e.statuses.back().get();
    kept.slot = all.slot;
    e.sensors.push_back(kept);
  }
  if (run.history) {
    // A history skips the samples it already has, and takes every sensor
    // read, for the page.
    const reading for_history = part(kHistoryMark);
    csv.take(ctx.folder +
             history_name(all.address, all.status->port + 1, all.slot + 1, all.status->sensorType));
    if (history.save(for_history) == 0) {
      written.push_back(kHistoryMark);
      csv.wrote = for_history.count > 0;
    } else {
      ok = false;  // the history has left its file as it was
    }
  }
  if (!run.incremental || (!report.wrote && !csv.wrote)) return ok;
  if (state.commit(all, written, sink)) return ok;
  // A state file that could not be read says nothing of the files: they stay.
  if (state.readable()) {
    if (report.wrote) report.cut_back();
    if (csv.wrote) csv.cut_back();
  }
  return false;
}

// An address the socket layer could not read would send to the broadcast
// address instead; it is refused before anything is sent.
bool address_is_valid(const std::string& address) {
  uint32_t ip = 0;
  if (parse_ipv4(address.c_str(), &ip)) return true;
  say("Invalid IP address '%s' !\n", address.c_str());
  return false;
}
}  // namespace

int print_usage() {
  say("\nDownload data from %s.\n\n", kProductName);
  say("logfetch <-i %sIP> <-p password>\n\n", kProductName);
  say("  -i %sIP   The IP of %s to download data from.\n", kProductName, kProductName);
  say("  -p password        The password of the %s (set or get community).\n", kProductName);
  say("  -o                 Overwrite data if files exist.\n");
  say("  -t                 Use local timezone for timestamp.\n");
  say("  -n                 Download only samples newer than the last -n run.\n");
  say("  -c                 Keep a CSV history per sensor beside the reports.\n");
  say("  -w                 Write an HTML page of charts per box (implies -c).\n");
  say("  -x FORMAT          Export the samples saved: openmetrics, influx, or both.\n");
  say("  -m FILE            Write the run's outcome to FILE for a metrics collector.\n");
  say("  -f FILE            Collect every box the site file FILE lists.\n");
  say("  -v                 Display the version and exit.\n");
  say("  -?                 Display this usage information and exit.\n\n");
  say("You will be prompted for any required options you did not specify.\n\n");
  return 0;
}

int read_word(std::FILE* in, char* buffer, int size) {
  std::memset(buffer, 0, size);
  int c = std::fgetc(in);
  while (c != EOF && is_blank(c)) c = std::fgetc(in);
  int kept = 0;
  for (; c != EOF && !is_blank(c); c = std::fgetc(in)) {
    if (kept < size - 1) buffer[kept++] = static_cast<char>(c);
  }
  // The white space that ended the word stays for the next read.
  if (c != EOF) std::ungetc(c, in);
  return kept;
}

namespace {

// One box's walk, apart from how the run was asked for: its connection,
// writer, record, exports and console are the caller's.
struct walk_setup {
  std::string address, password;
  bool progress = false;  // a progress line on standard error
  clock_type::time_point deadline = clock_type::time_point::max();
  int64_t started = 0;  // the run's start, which names its OpenMetrics files
  int deadline_seconds = 0;
};

walk_summary walk_box(const RunState& run, const walk_setup& box, getdata& conn, datafile& writer,
                      collected& state, run_exports& exports, const output_context& ctx) {
  message_sink& sink = *ctx.sink;
  // Histories go through the walk itself, each with its own mark.
  report_handoff handoff(writer, run.overwrite, ctx);
  progress_line progress(stderr, box.progress);
  conn.progress = [&progress](const getdata& c, int done, int total) {
    progress.update(c.port + 1, c.slot + 1, done, total);
  };
  conn.on_attempt = [&progress](const getdata& c, int attempt) {
    progress.waiting(c.port + 1, c.slot + 1, c.address.c_str(), c.box_port(), attempt, kAttempts);
  };
  if (run.incremental) {
    conn.choose_samples = [&state, &sink](const getdata& c) {
      return state.plan(c.address, c.slot, *c.status, sink);
    };
  }
  link_messages messages(sink);
  conn.set_listener(&messages);
  HookGuard guard{conn};
  std::vector<store_export> stores;
  for (const auto& [format, mark] : {std::make_pair(kExportOpenMetrics, kOpenMetricsMark),
                                     std::make_pair(kExportInflux, kInfluxMark)}) {
    if ((run.exports & format) == 0) continue;
    store_export e;
    e.mark = mark;
    e.out.reset(new run_exports(box.address, format, false, box.started, ctx));
    stores.push_back(std::move(e));
  }
  walk_summary summary;
  bool unread = false;
  csv_history history(ctx);
  bool ended = false;
  for (int port = 0; port < kPorts && !ended; ++port) {
    for (int slot = 0; slot < kSlots; ++slot) {
      const int result = conn.read_sensor(box.address.c_str(), box.password.c_str(), port, slot);
      progress.clear();
      if (result != 0 && conn.last_result().what == read_outcome::no_socket) {
        // Said already; without a socket nothing more can be read.
        summary.status = -1;
        summary.outcome = "no socket";
        summary.ended_at = static_cast<int64_t>(std::time(nullptr));
        return summary;
      }
      if (result == 0) {
        // With -n and nothing new there is nothing to save: already said.
        const reading r = conn.view();
        if (r.status->lastLogTime > summary.newest_sample || summary.interval_minutes == 0) {
          summary.newest_sample = r.status->lastLogTime;
          summary.interval_minutes = r.status->logInterval;
        }
        if (!run.incremental || r.count > 0) {
          if (save_sensor(r, run, writer, handoff, history, state, exports, stores, ctx)) {
            ++summary.sensors_saved;
            summary.samples_saved += r.count;
          } else {
            unread = true;
          }
        }
      } else {
        const Next next = report_failure(sink, conn.last_error, port);
        if (next == Next::kEnd) {
          ended = true;
          summary.outcome = ending_of(conn.last_error);
          break;
        }
        if (sensor_unread(conn.last_error)) unread = true;
        if (next == Next::kPort) break;
      }
      if (clock_type::now() >= box.deadline && !(port == kPorts - 1 && slot == kSlots - 1)) {
        sink.say("Deadline of %d s reached, the walk stops here.\n", box.deadline_seconds);
        ended = true;
        summary.outcome = "stopped at its deadline";
        break;
      }
    }
  }
  // Drawn from the histories in the folder, so also after a walk that ended early.
  if (run.page && write_chart_page(ctx, box.address, history.sensors()) != 0) unread = true;
  exports.finish();  // the counts for -m; it writes no file itself
  for (store_export& e : stores) {
    const bool influx = std::strcmp(e.mark, kInfluxMark) == 0;
    std::string file = ctx.folder + box.address + ".lp";
    const long long before = influx ? file_size(file.c_str()) : -1;
    if (e.out->finish() > 0) {
      unread = true;
    } else if (run.incremental && !e.sensors.empty() &&
               !state.commit_all(e.sensors, e.mark, sink)) {
      // Back to what the marks on disk say: the next run exports them again.
      unread = true;
      if (!influx) file = e.out->openmetrics_path();
      if (before < 0)
        std::remove(file.c_str());
      else
        file_truncate(file.c_str(), before);
    }
  }
  summary.status = ended ? kWalkEndedEarly : unread || !sink.good() ? kSensorNotSaved : 0;
  if (summary.status == kSensorNotSaved) summary.outcome = "not all saved";
  summary.ended_at = static_cast<int64_t>(std::time(nullptr));
  return summary;
}

// -w with -f: index.html in the site file's folder, linking each box's page.
bool write_site_index(const site_plan& plan, const std::vector<walk_summary>& summaries) {
  std::vector<site_page_row> rows;
  for (size_t i = 0; i < plan.boxes.size(); ++i) {
    const site_box& box = plan.boxes[i];
    const walk_summary& w = summaries[i];
    site_page_row row;
    row.name = box.name;
    row.address = box.address;
    row.outcome = w.outcome;
    row.last_run = w.ended_at;
    row.newest_sample = w.newest_sample;
    row.interval_minutes = w.interval_minutes;
    const std::string page = box.folder + box.address + ".html";
    if (file_size(page.c_str()) >= 0)
      row.page = page.compare(0, plan.folder.size(), plan.folder) == 0
                     ? page.substr(plan.folder.size())
                     : page;
    rows.push_back(row);
  }
  return write_site_page(plan.folder + "index.html", rows, static_cast<int64_t>(std::time(nullptr)),
                         standard_sink());
}

// -f: every box of the site file, each walked by its own connection, writer
// and zone engine, up to `concurrency` at once.
int site_main(const RunState& run) {
  if (run.address_present || run.password_present) {
    say("-i and -p cannot be combined with -f !\n");
    return -1;
  }
  site_plan plan;
  std::string error;
  if (!load_site(run.site_file, &plan, &error)) {
    say("%s\n", error.c_str());
    return -1;
  }
  const int64_t started = static_cast<int64_t>(std::time(nullptr));
  // A box's folder is made when missing, so a new box needs no set-up.
  for (const site_box& box : plan.boxes) {
    std::error_code ignored;
    if (!box.folder.empty()) std::filesystem::create_directories(box.folder, ignored);
  }
  // One record per folder, shared by the boxes that write there.
  std::map<std::string, std::unique_ptr<collected>> records;
  if (run.incremental) {
    for (const site_box& box : plan.boxes) {
      std::unique_ptr<collected>& record = records[box.folder];
      if (!record) {
        record.reset(new collected(box.folder + kCollectedFile));
        record->load();
        record->use(used_marks(run));
      }
      if (run.overwrite) record->ignore(box.address);
    }
  }
  collected unused;
  std::vector<std::unique_ptr<run_exports>> exports(plan.boxes.size());
  site_console console(stdout, stderr, console_is_terminal(stderr));
  const box_walker walker = [&](const site_box& box, message_sink& sink,
                                clock_type::time_point deadline) {
    const size_t index = static_cast<size_t>(&box - plan.boxes.data());
    zone_engine zones;
    output_context ctx;
    ctx.zones = &zones;
    ctx.local_time = box.local_time || use_local_time != 0;
    ctx.sink = &sink;
    ctx.folder = box.folder;
    getdata conn;
    datafile writer(ctx);
    exports[index].reset(new run_exports(box.address, 0, !run.textfile.empty(), started, ctx));
    walk_setup setup;
    setup.address = box.address;
    setup.password = box.password;
    setup.deadline = deadline;
    setup.started = started;
    setup.deadline_seconds = box.deadline_seconds;
    collected& state = run.incremental ? *records[box.folder] : unused;
    walk_summary summary = walk_box(run, setup, conn, writer, state, *exports[index], ctx);
    if (summary.status == -1) summary.status = kWalkEndedEarly;  // this box alone
    return summary;
  };
  std::vector<walk_summary> summaries;
  int status = run_site(plan, walker, console, &summaries);
  if (!run.textfile.empty()) {
    std::vector<const run_exports*> boxes;
    std::vector<int> statuses;
    for (size_t i = 0; i < exports.size(); ++i) {
      boxes.push_back(exports[i].get());
      statuses.push_back(summaries[i].status);
    }
    if (!run_exports::write_textfile(run.textfile, boxes, statuses,
                                     static_cast<int64_t>(std::time(nullptr))) &&
        status == 0)
      status = kSensorNotSaved;
  }
  if (run.page && !write_site_index(plan, summaries) && status == 0) status = kSensorNotSaved;
  return status;
}

}  // namespace

int logfetch_main(int argc, char** argv, getdata& conn, datafile& writer, std::FILE* in) {
  // Set first: a failed start of the socket layer is told at once.
  link_messages messages(standard_sink());
  HookGuard guard{conn};
  conn.set_listener(&messages);
  option_index = 1;
  use_local_time = 0;
  RunState run;
  int status = 0;
  const int64_t started = static_cast<int64_t>(std::time(nullptr));
  if (!scan_command_line(argc, argv, &run, &status)) return status;
  if (!run.site_file.empty()) return site_main(run);

  if (!run.address_present) {
    say("Enter ip of %s to download data from: ", kProductName);
    run.address = ask(in);
  }
  if (!address_is_valid(run.address)) return -1;
  if (!run.password_present) {
    say("Type your password: ");
    run.password = ask_hidden(in);
  }

  collected state;
  if (run.incremental) {
    state.load();
    if (run.overwrite) state.ignore(run.address);
    state.use(used_marks(run));
  }
  run_exports exports(run.address, 0, !run.textfile.empty(), started);
  walk_setup box;
  box.address = run.address;
  box.password = run.password;
  box.progress = console_is_terminal(stderr);
  box.started = started;
  output_context ctx;
  ctx.zones = &process_zones();
  ctx.local_time = use_local_time != 0;
  ctx.sink = &standard_sink();
  int outcome = walk_box(run, box, conn, writer, state, exports, ctx).status;
  if (outcome == -1) return -1;
  if (!run.textfile.empty() &&
      !exports.write_textfile(run.textfile, static_cast<int64_t>(std::time(nullptr)), outcome) &&
      outcome == 0)
    outcome = kSensorNotSaved;
  return outcome;
}
