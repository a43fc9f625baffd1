#include "app/walk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/collected.h"
#include "app/progress.h"
#include "device/messages.h"
#include "platform/files.h"
#include "report/chart_page.h"
#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/exports.h"
#include "report/file_names.h"
#include "report/handoff.h"
#include "report/sink.h"

namespace {
constexpr int kPorts = 8;
constexpr int kSlots = 2;

// An export format of one walk: written whole when the walk ends, with its
// own mark, so that one that failed catches up on the next -n run.
struct store_export {
  const char* mark;
  std::unique_ptr<run_exports> out;
  // The sensors handed to it, for their marks once it is written.
  std::vector<std::unique_ptr<SensorStatus>> statuses;
  std::vector<reading> sensors;
};

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
bool save_sensor(const reading& all, const options& run, datafile& writer, report_handoff& handoff,
                 csv_history& history, collected& state, std::vector<store_export>& stores,
                 const output_context& ctx) {
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

}  // namespace

std::vector<std::string> used_marks(const options& run) {
  std::vector<std::string> marks{kReportMark};
  if (run.history) marks.push_back(kHistoryMark);
  if (run.exports & kExportOpenMetrics) marks.push_back(kOpenMetricsMark);
  if (run.exports & kExportInflux) marks.push_back(kInfluxMark);
  return marks;
}

failure_verdict judge_failure(message_sink& out, const read_result& result, int port) {
  const int shown_port = port + 1;
  switch (result.what) {
    case read_outcome::no_reply:
      out.say("No %s reply !\n", kProductName);
      return {after_failure::end_walk, true, "ended early: no reply"};
    case read_outcome::old_firmware:
      out.say("Please update firmware on %s\n", kProductName);
      return {after_failure::end_walk, true, "ended early: firmware too old"};
    case read_outcome::empty_log:  // the connection has said so already
      return {after_failure::next_slot, false};
    case read_outcome::invalid_log:
      out.say("Sensor on port %d has an invalid datalog !\n", shown_port);
      return {after_failure::next_slot, true};
    case read_outcome::box_error:
      // The byte as the box sent it; others are told by their number below.
      switch (static_cast<uint8_t>(result.code)) {
        case kBoxWrongPassword:
          out.say("Wrong password !\n");
          return {after_failure::end_walk, true, "ended early: wrong password"};
        case kBoxErrorFB:
        case kBoxErrorFC:
          return {after_failure::next_slot, true};
        case kBoxPortOffline:
          out.say("Port %d offline.\n", shown_port);
          return {after_failure::next_port, false};
        case kBoxNoDatalog:
          out.say("Sensor on port %d has no datalog.\n", shown_port);
          return {after_failure::next_slot, false};
        default:
          break;
      }
      break;
    default:  // a socket error number or a local code
      break;
  }
  out.say("Read %s status, return unknown error (%d).\n", kProductName,
          static_cast<int>(result.code));
  return {after_failure::next_slot, true};
}

void link_messages::startup_failed(int error) {
  out.say("Winsock startup failed. Error: %d", error);
}
void link_messages::no_socket(int error, bool select_failed) {
  if (select_failed) out.say("Socket select event error (%d)!\n", error);
  out.say("Open socket on client error (%d)\nProgram halted !\n", error);
}
void link_messages::empty_log(int port_shown) {
  out.say("Sensor on port %d has no data in datalogger\n", port_shown);
}
void link_messages::send_failed(int error) { out.say("Sent a packet error(%d) !\n", error); }
void link_messages::no_status_record() { out.say("Can't allocate memory for status buffer !\n"); }
void link_messages::read_before_status() {
  out.say("Please call getdata::readstatus() before call getdata::read_data()\n");
}

walk_summary walk_box(const options& run, const walk_setup& box, getdata& conn, datafile& writer,
                      collected& state, const output_context& ctx) {
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
    e.out.reset(new run_exports(box.address, format, box.started, ctx));
    stores.push_back(std::move(e));
  }
  walk_summary summary;
  bool unread = false;
  csv_history history(ctx);
  bool ended = false;
  for (int port = 0; port < kPorts && !ended; ++port) {
    for (int slot = 0; slot < kSlots; ++slot) {
      const auto asked = clock_type::now();
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
        summary.box_time = r.status->deviceTime;
        if (r.status->lastLogTime > summary.newest_sample || summary.interval_minutes == 0) {
          summary.newest_sample = r.status->lastLogTime;
          summary.interval_minutes = r.status->logInterval;
        }
        if (!run.incremental || r.count > 0) {
          if (save_sensor(r, run, writer, handoff, history, state, stores, ctx)) {
            ++summary.sensors_saved;
            summary.samples_saved += r.count;
            known_sensor k;
            k.port = r.status->port + 1;
            k.slot = r.slot + 1;
            k.type = r.status->sensorType;
            k.newest_time = r.status->lastLogTime;
            k.has_value = r.count > 0;
            if (k.has_value) k.newest_value = r.get_value(r.count - 1);
            k.interval_minutes = r.status->logInterval;
            summary.read.push_back(k);
          } else {
            unread = true;
          }
        }
      } else {
        const failure_verdict verdict = judge_failure(sink, conn.last_result(), port);
        if (conn.last_result().what == read_outcome::no_reply) {
          const auto waited =
              std::chrono::duration_cast<std::chrono::seconds>(clock_type::now() - asked).count();
          sink.explain("logfetch: %s port %d did not answer %d requests in %lld s\n",
                       box.address.c_str(), conn.box_port(), kAttempts,
                       static_cast<long long>(waited));
        }
        if (verdict.next == after_failure::end_walk) {
          ended = true;
          summary.outcome = verdict.ending;
          break;
        }
        if (verdict.unread) unread = true;
        if (verdict.next == after_failure::next_port) break;
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
  for (store_export& e : stores) {
    const bool influx = std::strcmp(e.mark, kInfluxMark) == 0;
    std::string file = ctx.folder + line_protocol_name(box.address);
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
