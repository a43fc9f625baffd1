#include "app/walk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/collected.h"
#include "app/outputs.h"
#include "app/progress.h"
#include "app/stores.h"
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

// A sensor saved this walk, and the outputs whose marks may move to its
// newest sample.
struct saved_sensor {
  box_commit::move move;
  std::vector<const sensor_output*> at_finish;  // their marks move only if they finish
};

// Hands one sensor to every output, each the samples its own mark lacks.
// False when an output could not take them.
bool save_sensor(const reading& all, const options& run, collected& state,
                 const std::vector<std::unique_ptr<sensor_output>>& outputs, walk_files& files,
                 std::vector<saved_sensor>* saved) {
  saved_sensor s;
  s.move.address = all.address;
  s.move.slot = all.slot;
  s.move.status = *all.status;
  // The files of every output at once: one record write for those it does
  // not know yet, before anything is added to any of them.
  std::vector<std::string> names;
  for (const auto& o : outputs)
    for (const std::string& name : o->files_for(all)) names.push_back(name);
  if (run.incremental && !files.before_append(names)) return false;
  bool ok = true;
  for (const auto& o : outputs) {
    const reading part =
        run.incremental
            ? newest_samples(all, state.lacking(all.address, all.slot, *all.status, o->mark()))
            : all;
    if (run.incremental && part.count == 0 && !o->takes_empty()) {
      s.move.marks.push_back(o->mark());  // had them all already
      continue;
    }
    if (!o->add(part)) {
      ok = false;
    } else if (o->at_finish()) {
      s.at_finish.push_back(o.get());
    } else {
      s.move.marks.push_back(o->mark());
    }
  }
  saved->push_back(std::move(s));
  return ok;
}

// A sensor read this walk, for its headroom once the walk is committed.
struct read_sensor {
  SensorStatus status;
  int slot;
  bool saved;  // every output took it
};

known_sensor newest_known(const reading& r) {
  known_sensor k;
  k.port = r.status->port + 1;
  k.slot = r.slot + 1;
  k.type = r.status->sensorType;
  k.newest_time = r.status->lastLogTime;
  k.has_value = r.count > 0;
  if (k.has_value) k.newest_value = r.get_value(r.count - 1);
  k.interval_minutes = r.status->logInterval;
  return k;
}

// What an output is called where its headroom is told.
std::string output_words(const std::string& mark) {
  if (mark == kReportMark) return "the report has not saved";
  if (mark == kHistoryMark) return "the CSV history has not saved";
  if (mark == kOpenMetricsMark) return "the OpenMetrics export has not saved";
  if (mark == kInfluxMark) return "the line-protocol export has not saved";
  if (mark.compare(0, 6, "store.") == 0) return "store '" + mark.substr(6) + "' has not acknowledged";
  return "an output has not saved";
}

// After the commit: for every sensor read, how long the box keeps what the
// output furthest behind lacks; said when under a day and something lacks.
void tell_headroom(const options& run, const collected& state, const std::string& address,
                   const std::vector<std::unique_ptr<sensor_output>>& outputs,
                   const std::vector<read_sensor>& read, walk_summary* summary,
                   message_sink& sink) {
  constexpr int64_t kDay = 24 * 3600;
  for (const read_sensor& s : read) {
    const SensorStatus& st = s.status;
    const int count = st.logCount > 0 ? st.logCount : 0;
    int lacking = 0;
    std::string behind;
    for (const auto& o : outputs) {
      // Without -n every output was given every sample: it lacks them only
      // if it failed.
      const int lacks = run.incremental ? state.lacking_now(address, s.slot, st, o->mark())
                                        : (s.saved ? 0 : -1);
      const int n = lacks < 0 || lacks > count ? count : lacks;
      if (n > lacking) {
        lacking = n;
        behind = o->mark();
      }
    }
    const int64_t headroom =
        headroom_of(st.logCapacity, lacking, st.logInterval, st.deviceTime, st.lastLogTime);
    for (known_sensor& k : summary->read) {
      if (k.port != st.port + 1 || k.slot != s.slot + 1) continue;
      k.has_headroom = st.logInterval > 0;
      k.headroom_seconds = headroom;
      k.lacking = lacking;
      k.behind = behind;
    }
    // Said only where marks tell what lacks: a run without -n, or one whose
    // record cannot be read, says what failed already.
    if (!run.incremental || !state.readable() || lacking == 0 || st.logInterval == 0 ||
        headroom >= kDay)
      continue;
    const int64_t left = headroom < 0 ? 0 : headroom;
    if (left >= 3600)
      sink.say("Port %d slot %d: %lld h left before the box overwrites samples that %s.\n",
               st.port + 1, s.slot + 1, static_cast<long long>(left / 3600),
               output_words(behind).c_str());
    else
      sink.say("Port %d slot %d: %lld min left before the box overwrites samples that %s.\n",
               st.port + 1, s.slot + 1, static_cast<long long>(left / 60),
               output_words(behind).c_str());
  }
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
  // A box's stores are its own; the record's other marks are every box's.
  std::vector<std::string> store_marks;
  for (const site_store* store : box.stores) store_marks.push_back(store_mark(store->name));
  if (run.incremental) {
    conn.choose_samples = [&state, &sink, &store_marks](const getdata& c) {
      return state.plan(c.address, c.slot, *c.status, sink, store_marks);
    };
  }
  link_messages messages(sink);
  conn.set_listener(&messages);
  HookGuard guard{conn};
  // What this walk appends to, claimed by one commit at its end (-n).
  walk_files files(run.incremental && state.readable() ? &state : nullptr, ctx.folder, sink);
  csv_history history(ctx);
  std::vector<std::unique_ptr<sensor_output>> outputs;
  outputs.push_back(report_output(handoff, writer, run.overwrite, files));
  if (run.history) outputs.push_back(history_output(history, files));
  for (const unsigned format : {unsigned{kExportOpenMetrics}, unsigned{kExportInflux}}) {
    if ((run.exports & format) == 0) continue;
    std::unique_ptr<run_exports> out(new run_exports(box.address, format, box.started, ctx));
    if (run.incremental) out->hold_back();
    outputs.push_back(export_output(std::move(out), format, box.address, files, ctx));
  }
  std::vector<store_push*> pushes;
  for (const site_store* store : box.stores) {
    std::unique_ptr<store_push> push = store_output(*store, box.deadline, ctx, box.address);
    pushes.push_back(push.get());
    outputs.push_back(std::move(push));
  }
  std::vector<saved_sensor> saved;
  std::vector<read_sensor> read;
  walk_summary summary;
  bool unread = false;
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
        read.push_back({*r.status, r.slot, true});
        if (run.incremental && r.count == 0) {
          // Nothing new, but a torn last row is mended all the same.
          if (run.history && history.mend(r))
            files.wrote(history_name(r.address, r.status->port + 1, r.slot + 1,
                                     r.status->sensorType));
          summary.read.push_back(newest_known(r));
        } else if (!run.incremental || r.count > 0) {
          if (save_sensor(r, run, state, outputs, files, &saved)) {
            ++summary.sensors_saved;
            summary.samples_saved += r.count;
            summary.read.push_back(newest_known(r));
          } else {
            // Some of its outputs took it: what it lacks is told by its headroom.
            unread = true;
            read.back().saved = false;
            summary.read.push_back(newest_known(r));
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
  box_commit commit;
  std::map<const sensor_output*, bool> finished;  // how each finish ended
  for (const auto& o : outputs) {
    if (!o->at_finish()) continue;
    if (run.incremental && !files.before_append(o->files_for(reading{}))) {
      unread = true;
      continue;
    }
    const bool ok = o->finish();
    finished[o.get()] = ok;
    if (!ok) {
      unread = true;  // said; its marks stay, so it catches up on the next run
      continue;
    }
    for (const auto& r : o->renames()) commit.renames.push_back(r);
  }
  for (const store_push* p : pushes)
    summary.pushed += (summary.pushed.empty() ? "" : ", ") + p->tally();
  if (run.incremental) {
    for (saved_sensor& s : saved) {
      for (const sensor_output* o : s.at_finish) {
        const auto f = finished.find(o);
        if (f != finished.end() && o->delivered(s.move.status.port, s.move.slot, f->second))
          s.move.marks.push_back(o->mark());
      }
      if (!s.move.marks.empty()) commit.moves.push_back(std::move(s.move));
    }
    commit.files = files.lengths();
    // One commit for the box, after the data it names is on the disk; if it
    // cannot be made, the files go back to what the record on disk says.
    if (!commit.empty() && !state.commit(commit, sink)) {
      unread = true;
      if (state.readable()) files.roll_back();
    }
  }
  tell_headroom(run, state, box.address, outputs, read, &summary, sink);
  summary.status = ended ? kWalkEndedEarly : unread || !sink.good() ? kSensorNotSaved : 0;
  if (summary.status == kSensorNotSaved) summary.outcome = "not all saved";
  summary.ended_at = static_cast<int64_t>(std::time(nullptr));
  return summary;
}
