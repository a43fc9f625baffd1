#include "app/check.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/walk.h"
#include "device/messages.h"

namespace {

// The order of badness when problems meet: unknown ranks above OK only.
int rank(int state) {
  switch (state) {
    case kCheckCritical:
      return 3;
    case kCheckWarning:
      return 2;
    case kCheckUnknown:
      return 1;
    default:
      return 0;
  }
}

// The status line and the long output are split on line ends and on the
// first '|', so a name from the site file may hold neither.
std::string plain(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '|' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return out;
}

std::string count_of(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// In the C locale whatever the process's: tenths with one decimal.
std::string value_text(const known_sensor& k) {
  if (!k.has_value) return "U";
  if (!is_tenths_type(k.type)) return std::to_string(k.newest_value);
  const long long v = k.newest_value;
  const unsigned long long a = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
  return (v < 0 ? "-" : "") + std::to_string(a / 10) + "." + std::to_string(a % 10);
}

double value_of(const known_sensor& k) {
  return is_tenths_type(k.type) ? static_cast<double>(k.newest_value) / 10
                                : static_cast<double>(k.newest_value);
}

std::string sensor_name(const std::string& box, const known_sensor& k) {
  const char* type = sensor_type_name(k.type);
  return box + " p" + std::to_string(k.port) + "s" + std::to_string(k.slot) + " " +
         (*type != '\0' ? std::string(type) : "type" + std::to_string(k.type));
}

const sensor_ranges* ranges_of(const site_box& box, const known_sensor& k) {
  for (const sensor_ranges& r : box.ranges)
    if (r.port == k.port && r.slot == k.slot) return &r;
  return nullptr;
}

struct tally {
  int state = kCheckOk;
  std::vector<std::string> lines;
  void add(int s, const std::string& line) {
    if (rank(s) > rank(state)) state = s;
    lines.push_back(plain(line));
  }
};

}  // namespace

std::string check_prefix(int state) {
  static const char* const words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return std::string("LOGFETCH ") + words[state >= 0 && state <= 3 ? state : 3] + " - ";
}

std::string perf_label(const std::string& box, const known_sensor& k) {
  std::string out = "'";
  for (char c : sensor_name(box, k)) {
    if (c == '\'') out += '\'';  // doubled inside the quotes
    out += c == '=' || static_cast<unsigned char>(c) < 0x20 ? '_' : c;
  }
  return out + "'";
}

check_verdict unknown_verdict(const std::string& why, const std::string& more) {
  check_verdict v;
  v.state = kCheckUnknown;
  v.text = check_prefix(kCheckUnknown) + plain(why) + "\n";
  size_t from = 0;
  while (from < more.size()) {
    size_t end = more.find('\n', from);
    if (end == std::string::npos) end = more.size();
    v.text += plain(more.substr(from, end - from)) + "\n";
    from = end + 1;
  }
  return v;
}

check_verdict judge_site(const site_plan& plan, const std::vector<walk_summary>& walks,
                         const std::vector<std::vector<known_sensor>>& known,
                         bool outputs_written) {
  tally t;
  std::vector<std::string> unreached;
  size_t sensors = 0, critical = 0, warning = 0, stale = 0, unsaved = 0, unvalued = 0,
         short_headroom = 0;
  std::string perf;
  for (size_t i = 0; i < plan.boxes.size(); ++i) {
    const site_box& box = plan.boxes[i];
    const walk_summary& w = walks[i];
    if (w.status == kWalkEndedEarly) {
      unreached.push_back(box.name);
      // The summary line's "ended early: no reply" says why in its last words.
      const std::string why = w.outcome.compare(0, 13, "ended early: ") == 0
                                  ? w.outcome.substr(13)
                                  : w.outcome;
      t.add(kCheckCritical, box.name + ": not reached: " + why);
    } else if (w.status == kSensorNotSaved) {
      ++unsaved;
      t.add(kCheckWarning, box.name + ": not all saved (files or stores not written)");
    }
    for (const known_sensor& k : known[i]) {
      ++sensors;
      const std::string name = sensor_name(box.name, k);
      const sensor_ranges* r = ranges_of(box, k);
      perf += (perf.empty() ? "" : " ") + perf_label(box.name, k) + "=" + value_text(k);
      if (r != nullptr && (r->has_warn || r->has_crit)) {
        perf += ";" + (r->has_warn ? r->warn.text : "");
        if (r->has_crit) perf += ";" + r->crit.text;
      }
      if (r != nullptr && k.has_value) {
        const double v = value_of(k);
        if (r->has_crit && range_alerts(r->crit, v)) {
          ++critical;
          t.add(kCheckCritical, name + ": " + value_text(k) + " (crit " + r->crit.text + ")");
        } else if (r->has_warn && range_alerts(r->warn, v)) {
          ++warning;
          t.add(kCheckWarning, name + ": " + value_text(k) + " (warn " + r->warn.text + ")");
        }
      } else if (r != nullptr && (r->has_warn || r->has_crit)) {
        ++unvalued;
        t.add(kCheckUnknown, name + ": no value known to judge (keep histories with -c)");
      }
      // Judged by the box's own clock, so that a wrong clock here or there
      // does not matter; a box that did not answer is critical already.
      const int64_t interval = static_cast<int64_t>(k.interval_minutes) * 60;
      if (w.status != kWalkEndedEarly && w.box_time != 0 && interval > 0 &&
          w.box_time - k.newest_time > 2 * interval) {
        ++stale;
        t.add(kCheckWarning, name + ": newest sample " +
                                 std::to_string(w.box_time - k.newest_time) +
                                 " s old by the box's clock, logging every " +
                                 std::to_string(k.interval_minutes) + " min");
      }
      // The box keeps what an output or store still lacks for less than a day.
      if (k.has_headroom && k.lacking > 0 && k.headroom_seconds < 24 * 3600) {
        ++short_headroom;
        t.add(kCheckWarning, name + ": " + std::to_string(k.headroom_seconds / 60) +
                                 " min before the box overwrites samples not yet saved (" +
                                 k.behind + ")");
      }
    }
  }
  if (!outputs_written) t.add(kCheckWarning, "the textfile or the site page was not written");

  std::string summary;
  auto part = [&summary](const std::string& s) { summary += (summary.empty() ? "" : ", ") + s; };
  if (!unreached.empty()) {
    std::string names;
    for (const std::string& n : unreached) names += (names.empty() ? "" : ", ") + n;
    part(std::to_string(unreached.size()) + " of " +
         count_of(plan.boxes.size(), "box", "boxes") + " not reached (" + names + ")");
  }
  if (critical > 0) part(count_of(critical, "sensor", "sensors") + " critical");
  if (warning > 0) part(count_of(warning, "sensor", "sensors") + " warning");
  if (stale > 0) part(count_of(stale, "sensor", "sensors") + " stale");
  if (short_headroom > 0) part(count_of(short_headroom, "sensor", "sensors") + " short of headroom");
  if (unsaved > 0) part(count_of(unsaved, "box", "boxes") + " not all saved");
  if (!outputs_written) part("outputs not written");
  if (unvalued > 0) part(count_of(unvalued, "sensor", "sensors") + " without a value");
  if (summary.empty())
    summary = count_of(plan.boxes.size(), "box", "boxes") + ", " +
              count_of(sensors, "sensor", "sensors");

  check_verdict v;
  v.state = t.state;
  v.text = check_prefix(t.state) + plain(summary) + (perf.empty() ? "" : " | " + perf) + "\n";
  for (const std::string& line : t.lines) v.text += line + "\n";
  return v;
}

namespace {

class stderr_sink : public message_sink {
 public:
  bool good() const override { return good_; }

 protected:
  void write_out(const char* text, size_t size) override {
    if (std::fwrite(text, 1, size, stderr) != size || std::fflush(stderr) != 0) good_ = false;
  }
  void write_err(const char* text, size_t size) override { write_out(text, size); }

 private:
  bool good_ = true;
};

void write_all(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

message_sink& check_console_sink() {
  static stderr_sink sink;
  return sink;
}

struct check_watchdog::impl {
  std::mutex mutex;
  std::condition_variable done;
  bool printed = false;
  std::thread thread;
};

check_watchdog::check_watchdog(int seconds) : impl_(new impl) {
  impl* p = impl_;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  p->thread = std::thread([p, limit, seconds] {
    std::unique_lock<std::mutex> lock(p->mutex);
    if (p->done.wait_until(lock, limit, [p] { return p->printed; })) return;
    p->printed = true;
    write_all(check_prefix(kCheckUnknown) + "timed out after " + std::to_string(seconds) +
              " s, before the collection was done\n");
    // The walks are still running: end the process here, without the
    // destructors that would wait for them.
    std::_Exit(kCheckUnknown);
  });
}

void check_watchdog::print(const check_verdict& v) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->printed) return;
  impl_->printed = true;
  write_all(v.text);
  impl_->done.notify_all();
}

check_watchdog::~check_watchdog() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->printed = true;
    impl_->done.notify_all();
  }
  impl_->thread.join();
  delete impl_;
}
