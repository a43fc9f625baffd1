#include "app/driver.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/check.h"
#include "app/collected.h"
#include "app/known.h"
#include "app/options.h"
#include "app/prompts.h"
#include "app/say.h"
#include "app/site_file.h"
#include "app/site_run.h"
#include "app/task_xml.h"
#include "app/usage.h"
#include "app/walk.h"
#include "device/getdata.h"
#include "platform/console.h"
#include "platform/files.h"
#include "report/datafile.h"
#include "report/textfile.h"
#include "report/file_names.h"
#include "report/sink.h"
#include "report/site_page.h"
#include "zonetime/zone_time.h"

namespace {
constexpr char kStoppedText[] = "logfetch: stopped before the end of the run; what it saved is kept.\n";

// An address the socket layer could not read would send to the broadcast
// address instead; it is refused before anything is sent.
bool address_is_valid(const std::string& address) {
  uint32_t ip = 0;
  if (parse_ipv4(address.c_str(), &ip)) return true;
  say("Invalid IP address '%s' !\n", address.c_str());
  return false;
}

// -w with -f: index.html in the site file's folder, linking each box's page.
// A box whose last walk failed still shows the newest sample its folder holds.
bool write_site_index(const site_plan& plan, const std::vector<walk_summary>& summaries,
                      const std::vector<std::vector<known_sensor>>& known, message_sink& out) {
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
    for (const known_sensor& k : known[i]) {
      if (!k.has_headroom || (row.has_headroom && k.headroom_seconds >= row.headroom_seconds))
        continue;
      row.has_headroom = true;
      row.headroom_seconds = k.headroom_seconds;
      row.lacking = k.lacking > 0;
    }
    int64_t held = 0;
    int held_interval = 0;
    newest_of(known[i], &held, &held_interval);
    if (held > row.newest_sample) {
      row.newest_sample = held;
      row.interval_minutes = held_interval;
    }
    const std::string page = box.folder + chart_page_name(box.address);
    if (file_size(page.c_str()) >= 0)
      row.page = page.compare(0, plan.folder.size(), plan.folder) == 0
                     ? page.substr(plan.folder.size())
                     : page;
    rows.push_back(row);
  }
  return write_site_page(plan.folder + "index.html", rows, static_cast<int64_t>(std::time(nullptr)),
                         out);
}

// -m: one textfile for all the boxes of the run, with what each folder knows.
bool write_run_textfile(const std::string& path, std::vector<box_outcome> boxes,
                        message_sink& out = standard_sink()) {
  const std::map<std::string, int64_t> before = read_last_successes(path);
  for (box_outcome& b : boxes) {
    if (b.status == 0) {
      b.last_success = b.ended_at;
    } else {
      const auto found = before.find(b.name.empty() ? b.address : b.name);
      if (found != before.end()) b.last_success = found->second;
    }
  }
  return write_textfile(path, boxes, out);
}

box_outcome outcome_of(const std::string& name, const std::string& address,
                       const walk_summary& w, std::vector<known_sensor> known) {
  box_outcome b;
  b.name = name;
  b.address = address;
  b.status = w.status;
  b.ended_at = w.ended_at;
  b.sensors_saved = w.sensors_saved;
  b.samples_saved = w.samples_saved;
  b.sensors = std::move(known);
  return b;
}

// -f: every box of the site file, each walked by its own connection, writer
// and zone engine, up to `concurrency` at once.
// With --check the console goes to standard error and standard output is
// the verdict alone.
int site_main(const options& run) {
  std::unique_ptr<check_watchdog> watchdog;
  if (run.check) watchdog.reset(new check_watchdog(run.timeout_seconds));
  message_sink& out = run.check ? check_console_sink() : standard_sink();
  if (run.address_present || run.password_present) {
    if (run.check) {
      watchdog->print(unknown_verdict("-i and -p cannot be combined with -f"));
      return kCheckUnknown;
    }
    say("-i and -p cannot be combined with -f !\n");
    return -1;
  }
  site_plan plan;
  std::string error;
  if (!load_site(run.site_file, &plan, &error)) {
    if (run.check) {
      const size_t end = error.find('\n');
      watchdog->print(unknown_verdict(error.substr(0, end),
                                      end == std::string::npos ? "" : error.substr(end + 1)));
      return kCheckUnknown;
    }
    say("%s\n", error.c_str());
    return -1;
  }
  const int64_t started = static_cast<int64_t>(std::time(nullptr));
  say_when_stopped(kStoppedText);
  // A box's folder, and the site's own, is made when missing, so a new box
  // needs no set-up.
  std::error_code ignored;
  if (!plan.folder.empty()) std::filesystem::create_directories(plan.folder, ignored);
  for (const site_box& box : plan.boxes) {
    if (!box.folder.empty()) std::filesystem::create_directories(box.folder, ignored);
  }
  // One record per folder, shared by the boxes that write there.
  std::map<std::string, std::unique_ptr<collected>> records;
  std::set<std::string> held_elsewhere;  // folders another run is collecting into
  if (run.incremental) {
    for (const site_box& box : plan.boxes) {
      std::unique_ptr<collected>& record = records[box.folder];
      if (!record) {
        record.reset(new collected(box.folder + kCollectedFile));
        // The other run's files are left alone: not even repaired.
        if (!record->hold(out)) {
          held_elsewhere.insert(box.folder);
          continue;
        }
        record->load(out);
        record->repair(out);
        record->use(used_marks(run));
        record->sync_whole_file_system(plan.boxes.size() > 1);
      }
      if (run.overwrite) record->ignore(box.address);
    }
  }
  collected unused;
  site_console console(run.check ? stderr : stdout, stderr, console_is_terminal(stderr));
  const box_walker walker = [&](const site_box& box, message_sink& sink,
                                clock_type::time_point deadline) {
    zone_engine zones;
    output_context ctx;
    ctx.zones = &zones;
    ctx.local_time = box.local_time || run.local_time;
    ctx.sink = &sink;
    ctx.folder = box.folder;
    ctx.box = box.name;
    getdata conn;
    if (held_elsewhere.count(box.folder) != 0) {
      walk_summary skipped;
      skipped.status = kSensorNotSaved;
      skipped.outcome = "folder in use by another run";
      return skipped;
    }
    datafile writer(ctx);
    walk_setup setup;
    setup.address = box.address;
    setup.password = box.password;
    setup.deadline = deadline;
    setup.started = started;
    setup.deadline_seconds = box.deadline_seconds;
    for (const std::string& name : box.stores)
      for (const site_store& store : plan.stores)
        if (store.name == name) setup.stores.push_back(&store);
    collected& state = run.incremental ? *records[box.folder] : unused;
    walk_summary summary = walk_box(run, setup, conn, writer, state, ctx);
    if (summary.status == -1) summary.status = kWalkEndedEarly;  // this box alone
    return summary;
  };
  std::vector<walk_summary> summaries;
  int status = run_site(plan, walker, console, &summaries);
  // What the folders know, for the outputs that tell it; a plain poll reads
  // no history back.
  std::vector<std::vector<known_sensor>> known(plan.boxes.size());
  const bool told = !run.textfile.empty() || run.page || run.check;
  for (size_t i = 0; told && i < plan.boxes.size(); ++i) {
    const site_box& box = plan.boxes[i];
    known[i] = known_sensors(box.folder, box.address,
                             run.incremental ? records[box.folder].get() : nullptr,
                             summaries[i].read);
  }
  bool outputs_written = true;
  if (!run.textfile.empty()) {
    std::vector<box_outcome> boxes;
    for (size_t i = 0; i < plan.boxes.size(); ++i)
      boxes.push_back(
          outcome_of(plan.boxes[i].name, plan.boxes[i].address, summaries[i], known[i]));
    if (!write_run_textfile(run.textfile, std::move(boxes), out)) outputs_written = false;
  }
  if (run.page && !write_site_index(plan, summaries, known, out)) outputs_written = false;
  if (run.check) {
    const check_verdict verdict = judge_site(plan, summaries, known, outputs_written);
    watchdog->print(verdict);
    return verdict.state;
  }
  if (!outputs_written && status == 0) status = kSensorNotSaved;
  return status;
}

// --task-xml: the task that runs the -f site on schedule, for a site file
// that can be collected as it stands.
int task_main(const options& run) {
  if (run.site_file.empty()) {
    say("--task-xml needs the site file: -f FILE !\n");
    return -1;
  }
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
  task_paths paths;
  paths.program = program_path();
  paths.site = absolute_path(run.site_file);
  if (paths.program.empty() || paths.site.empty()) {
    say("Can't tell where %s is !\n",
        paths.program.empty() ? "logfetch itself" : run.site_file.c_str());
    return -1;
  }
  std::string xml;
  if (!task_xml(paths, &xml, &error)) {
    say("%s\n", error.c_str());
    return -1;
  }
  say("%s", xml.c_str());
  return 0;
}

}  // namespace

int run_logfetch(const options& run, getdata& conn, datafile& writer, std::FILE* in) {
  // Set first: a failed start of the socket layer is told at once.
  link_messages messages(run.check ? check_console_sink() : standard_sink());
  HookGuard guard{conn};
  conn.set_listener(&messages);
  const int64_t started = static_cast<int64_t>(std::time(nullptr));
  switch (run.what) {
    case command::usage:
      return print_usage();
    case command::version:
      print_version();
      return 0;
    case command::refused:
      print_refusal(run);
      return -1;
    case command::task_xml:
      return task_main(run);
    case command::walk:
      break;
  }
  if (run.check && run.site_file.empty()) {
    std::fputs((check_prefix(kCheckUnknown) + "--check needs -f SITE\n").c_str(), stdout);
    return kCheckUnknown;
  }
  if (!run.site_file.empty()) return site_main(run);

  const std::string address = run.address_present ? run.address : ask_address(in);
  if (!address_is_valid(address)) return -1;
  const std::string password = run.password_present ? run.password : ask_password(in);
  say_when_stopped(kStoppedText);

  collected state;
  if (run.incremental) {
    if (!state.hold()) return kSensorNotSaved;
    state.load();
    state.repair();
    if (run.overwrite) state.ignore(address);
    state.use(used_marks(run));
  }
  walk_setup box;
  box.address = address;
  box.password = password;
  box.progress = console_is_terminal(stderr);
  box.started = started;
  output_context ctx;
  ctx.zones = &process_zones();
  ctx.local_time = run.local_time;
  ctx.sink = &standard_sink();
  // The program's writer was made before the run: it is told the run's context, as a site's are.
  writer.use(ctx);
  const walk_summary summary = walk_box(run, box, conn, writer, state, ctx);
  int outcome = summary.status;
  if (outcome == -1) return -1;
  if (!run.textfile.empty() &&
      !write_run_textfile(run.textfile,
                          {outcome_of(address, address, summary,
                                      known_sensors("", address, run.incremental ? &state : nullptr,
                                                    summary.read))}) &&
      outcome == 0)
    outcome = kSensorNotSaved;
  return outcome;
}

int logfetch_main(int argc, char** argv, getdata& conn, datafile& writer, std::FILE* in) {
  return run_logfetch(scan_options(argc, argv), conn, writer, in);
}
