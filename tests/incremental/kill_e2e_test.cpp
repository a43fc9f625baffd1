// A -n run stopped dead (LOGFETCH_KILL_AT) at each of its file steps in
// turn, then run again: every sample reaches every output exactly once, and
// the folder ends as that of runs never killed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/expected_report.h"
#include "tests/e2e/harness.h"

namespace {

constexpr int kBox = 1;  // on 127.0.NET.N
// Newest sample of every sensor once the box has logged for `kGap` more
// seconds: enough new samples that an append takes several writes.
constexpr int32_t kNewest = 1796685000;
constexpr int kGap = 5 * 24 * 3600;
// More steps than any run takes: the loop ends when a run is no longer killed.
constexpr int kMostSteps = 400;

struct Sensor {
  int port, slot;
  const char* type_word;
  int sample_size, interval, capacity;
  std::vector<int32_t> samples;  // every sample of both phases, oldest first
  int step() const { return interval * 60; }
  // Samples logged between the two phases.
  int fresh() const { return kGap / step(); }
  // Samples the box has logged by `phase` (1 or 2).
  int logged(int phase) const { return static_cast<int>(samples.size()) - (phase == 1 ? fresh() : 0); }
  int32_t newest(int phase) const { return kNewest - (phase == 1 ? kGap : 0); }

  std::string box_text(int phase) const {
    std::string t = "[port " + std::to_string(port) + " slot " + std::to_string(slot) +
                    "]\ntype " + type_word + "\nunit C\nsample_size " +
                    std::to_string(sample_size) + "\ninterval " + std::to_string(interval) +
                    "\ncapacity " + std::to_string(capacity) + "\nlast_log_time " +
                    std::to_string(newest(phase)) + "\nsamples";
    for (int i = 0; i < logged(phase); ++i) t += " " + std::to_string(samples[i]);
    return t + "\n";
  }
  std::string report_name(const std::string& addr) const {
    return addr + "_p" + std::to_string(port) + "_" + type_word + ".txt";
  }
  // The times every report line of the folder must show, in order: each
  // sample the box has logged by `phase`, once.
  std::vector<std::string> report_times(int phase) const {
    std::vector<std::string> out;
    for (int i = logged(phase) - 1; i >= 0; --i) {
      const CivilTime c = utc_fields(newest(phase) - i * step());
      char buf[32];
      std::snprintf(buf, sizeof buf, "%02d/%02d/%04lld %02d:%02d:%02d", c.month, c.day,
                    static_cast<long long>(c.year), c.hour, c.minute, c.second);
      out.push_back(buf);
    }
    return out;
  }
};

// A 2-byte sensor whose ring wraps in the second phase, a 1-byte one logging
// every minute (some 200 kB of report), a 4-byte one.
const std::vector<Sensor> kSensors = {
    {1, 1, "temperature", 2, 5, 1490, ramp(1500, 100, 3)},
    {2, 2, "humidity", 1, 1, 8000, ramp(7230, 1, 1)},
    {3, 1, "water", 4, 10, 800, ramp(730, -5, 7)},
};

std::string box_text(int phase) {
  std::string t = "system Lab\nclock " + std::to_string(kNewest - (phase == 1 ? kGap : 0) + 120) +
                  "\npassword pw\n";
  for (const Sensor& s : kSensors) t += s.box_text(phase);
  return t;
}

const std::vector<std::string> kArgs = {"-p", "pw", "-n", "-c", "-x", "influx,openmetrics"};

RunResult run_n(const TempDir& dir, const std::string& addr, int kill_at = 0) {
  std::vector<std::string> args = {"-i", addr};
  args.insert(args.end(), kArgs.begin(), kArgs.end());
  if (kill_at > 0) setenv("LOGFETCH_KILL_AT", std::to_string(kill_at).c_str(), 1);
  RunResult run = run_logfetch(dir, args);
  unsetenv("LOGFETCH_KILL_AT");
  return run;
}

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Each series' sample times in the order the files list them. `influx`: line
// protocol (TAGS value=V NS), else OpenMetrics (NAME{LABELS} V S).
using Series = std::map<std::string, std::vector<int64_t>>;
void add_series(const std::string& text, bool influx, Series* out) {
  for (const std::string& line : lines_of(text)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t cut = influx ? line.find(" value=") : line.find(' ');
    const size_t last = line.rfind(' ');
    ASSERT_TRUE(cut != std::string::npos && last > cut) << "torn line: " << line;
    (*out)[line.substr(0, cut)].push_back(std::stoll(line.substr(last + 1)));
  }
}

// Every series' times strictly increase: nothing twice, nothing out of order.
void expect_once_each(const Series& series, const std::string& what) {
  for (const auto& [name, times] : series) {
    const auto bad = std::adjacent_find(times.begin(), times.end(), std::greater_equal<int64_t>());
    EXPECT_TRUE(bad == times.end()) << what << " " << name << ": " << *bad << " then " << bad[1];
  }
}

// The folder's OpenMetrics samples, over all its files, each whole.
Series openmetrics_of(const TempDir& dir) {
  Series all;
  for (const std::string& name : dir.list()) {
    if (!ends_with(name, ".om")) continue;
    const std::string text = dir.read(name);
    EXPECT_TRUE(ends_with(text, "# EOF\n")) << name;
    Series one;
    add_series(text, false, &one);
    expect_once_each(one, name);
    for (const auto& [series, times] : one)
      all[series].insert(all[series].end(), times.begin(), times.end());
  }
  for (auto& s : all) std::sort(s.second.begin(), s.second.end());
  return all;
}

// The record without its renames still to do: one done by a repair is not
// written back until there is something else to commit.
std::string record_of(const TempDir& dir) {
  std::string out;
  for (const std::string& line : lines_of(dir.read("logfetch.state")))
    if (line.compare(0, 8, "pending ") != 0) out += line + "\n";
  return out;
}

// `dir` after its killed run and the run after it, against `clean`, which
// got the same runs without a kill, both against the box of `phase`.
void expect_as_never_killed(const TempDir& dir, const TempDir& clean, const std::string& addr,
                            int phase) {
  const std::regex sample_line(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d), -?\d+(\.\d)?)");
  for (const Sensor& s : kSensors) {
    const std::string name = s.report_name(addr);
    std::vector<std::string> times;
    for (const std::string& line : lines_of(dir.read(name))) {
      if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, sample_line)) << name << ": torn line: " << line;
      times.push_back(m[1]);
    }
    EXPECT_EQ(times, s.report_times(phase)) << name;
  }
  Series lp, clean_lp;
  add_series(dir.read(addr + ".lp"), true, &lp);
  add_series(clean.read(addr + ".lp"), true, &clean_lp);
  expect_once_each(lp, "line protocol");
  EXPECT_EQ(lp, clean_lp);
  const Series om = openmetrics_of(dir);
  expect_once_each(om, "OpenMetrics");
  EXPECT_EQ(om, openmetrics_of(clean));
  // Reports, histories and the line protocol byte for byte; nothing else
  // left but the OpenMetrics files, and a record's temporary file that a
  // kill kept from its rename (never read).
  std::set<std::string> names;
  for (const std::string& name : clean.list())
    if (!ends_with(name, ".om")) names.insert(name);
  for (const std::string& name : dir.list()) {
    if (ends_with(name, ".om")) continue;
    if (name.compare(0, 15, "logfetch.state.") == 0 && ends_with(name, ".tmp")) continue;
    EXPECT_EQ(names.count(name), 1u) << "left in the folder: " << name;
  }
  for (const std::string& name : names) {
    if (name == "logfetch.state") continue;
    EXPECT_EQ(dir.read(name), clean.read(name)) << name;
  }
  EXPECT_EQ(record_of(dir), record_of(clean));
}

// The reference sample counts: each series of the clean folder holds every
// sample the box has logged, once.
void expect_all_logged(const Series& series, int phase) {
  std::multiset<size_t> counts, logged;
  for (const auto& s : series) counts.insert(s.second.size());
  for (const Sensor& s : kSensors) logged.insert(static_cast<size_t>(s.logged(phase)));
  EXPECT_EQ(counts, logged);
}

}  // namespace

// Run 1 into an empty folder, then run 2 with an hour's new samples, each
// killed at step N = 1, 2, ... and followed by an unkilled run against the
// same box, until the Nth step is past the end of the run.
TEST(KilledRun, EverySampleOnceWhereverTheRunStops) {
  E2E_NEEDS_ROOT();
  SKIP_IF_UNDER_WINE("some two hundred runs of logfetch.exe take too long");
  TempDir clean, after_first;
  std::string addr;
  for (int phase = 1; phase <= 2; ++phase) {
    SCOPED_TRACE("run " + std::to_string(phase));
    BoxSim box(kBox, box_text(phase));
    ASSERT_TRUE(box.ready());
    addr = box.addr();
    RunResult run = run_n(clean, addr);
    ASSERT_EQ(run.status, 0) << run.out;
    Series lp, om = openmetrics_of(clean);
    add_series(clean.read(addr + ".lp"), true, &lp);
    expect_all_logged(lp, phase);
    expect_all_logged(om, phase);

    int n = 1;
    for (; n <= kMostSteps; ++n) {
      SCOPED_TRACE("killed at step " + std::to_string(n));
      TempDir dir;
      if (phase == 2)
        std::filesystem::copy(after_first.path(), dir.path(),
                              std::filesystem::copy_options::recursive);
      run = run_n(dir, addr, n);
      ASSERT_FALSE(run.timed_out);
      if (run.status == 0) break;  // the run has fewer steps: all were covered
      ASSERT_EQ(run.status, -1) << run.out;
      run = run_n(dir, addr);
      EXPECT_EQ(run.status, 0) << run.out;
      expect_as_never_killed(dir, clean, addr, phase);
      if (HasFailure()) break;
    }
    EXPECT_GT(n, 1);
    EXPECT_LE(n, kMostSteps);
    std::printf("run %d: killed at each of %d steps\n", phase, n - 1);
    if (phase == 1)
      std::filesystem::copy(clean.path(), after_first.path(),
                            std::filesystem::copy_options::recursive);
  }
}
