#include "app/site_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

site_plan plan_of(int boxes, int concurrency) {
  site_plan plan;
  plan.concurrency = concurrency;
  for (int i = 0; i < boxes; ++i) {
    site_box b;
    b.name = "box" + std::to_string(i);
    b.address = "127.0.0." + std::to_string(i + 1);
    b.deadline_seconds = 60;
    plan.boxes.push_back(b);
  }
  return plan;
}

// What went to one stream, read back after the run.
struct captured {
  std::FILE* f = std::tmpfile();
  ~captured() { std::fclose(f); }
  std::vector<std::string> lines() {
    std::rewind(f);
    std::vector<std::string> out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f) != nullptr) out.push_back(buf);
    return out;
  }
};

TEST(SiteRun, WalksAtMostConcurrencyBoxesAtOnceAndKeepsEachBoxsLinesWhole) {
  captured out, err;
  site_console console(out.f, err.f);
  std::atomic<int> in_flight{0}, most{0};
  const site_plan plan = plan_of(9, 3);
  const box_walker walk = [&](const site_box& box, message_sink& sink, clock_type::time_point) {
    const int now = ++in_flight;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    for (int line = 0; line < 50; ++line) {
      // A line in two pieces must still come out whole.
      sink.say("line %d of ", line);
      sink.say("%s\n", box.name.c_str());
      if (line % 10 == 0) std::this_thread::yield();
    }
    sink.explain("reason of %s\n", box.name.c_str());
    --in_flight;
    walk_summary s;
    s.sensors_saved = box.name == "box4" ? 1 : 16;
    s.samples_saved = 100;
    s.status = box.name == "box4" ? 2 : 0;
    s.outcome = box.name == "box4" ? "a sensor not saved" : "ok";
    return s;
  };
  EXPECT_EQ(run_site(plan, walk, console), 2);
  EXPECT_LE(most.load(), 3);
  EXPECT_GE(most.load(), 1);

  std::map<std::string, int> next_line;
  std::vector<std::string> summary;
  for (const std::string& l : out.lines()) {
    if (l.rfind("Summary: ", 0) == 0) {
      summary.push_back(l);
      continue;
    }
    const size_t colon = l.find(": ");
    ASSERT_NE(colon, std::string::npos) << l;
    const std::string name = l.substr(0, colon);
    EXPECT_EQ(l, name + ": line " + std::to_string(next_line[name]) + " of " + name + "\n");
    ++next_line[name];
  }
  EXPECT_EQ(next_line.size(), 9u);
  for (const auto& [name, n] : next_line) EXPECT_EQ(n, 50) << name;
  ASSERT_EQ(summary.size(), 9u);
  EXPECT_EQ(summary[0], "Summary: box0: 16 sensors saved, 100 samples saved, ok\n");
  EXPECT_EQ(summary[4], "Summary: box4: 1 sensor saved, 100 samples saved, a sensor not saved\n");
  EXPECT_EQ(err.lines().size(), 9u);
}

TEST(SiteRun, StatusIsTheWorstOfTheBoxes) {
  struct Case {
    std::vector<int> statuses;
    int expected;
  } cases[] = {{{0, 0, 0}, 0}, {{0, 2, 0}, 2}, {{2, 1, 0}, 1}, {{1}, 1}};
  for (const Case& c : cases) {
    captured out, err;
    site_console console(out.f, err.f);
    const site_plan plan = plan_of(static_cast<int>(c.statuses.size()), 8);
    const box_walker walk = [&](const site_box& box, message_sink&, clock_type::time_point) {
      walk_summary s;
      s.status = c.statuses[std::stoi(box.name.substr(3))];
      return s;
    };
    EXPECT_EQ(run_site(plan, walk, console), c.expected);
  }
}

}  // namespace

namespace {

// The boxes in flight stay on one status line of standard error, taken away
// before each message and put back after it.
TEST(SiteRun, StatusLineMakesWayForMessages) {
  captured out, err;
  site_console console(out.f, err.f, true);
  console.status("Walking a (0 of 2 done)");
  console.line(false, "a: Port 3 offline.\n");
  console.status("");
  std::string text;
  for (const std::string& l : err.lines()) text += l;
  const std::string blank = "\r" + std::string(23, ' ') + "\r";
  EXPECT_EQ(text, "Walking a (0 of 2 done)" + blank + "Walking a (0 of 2 done)" + blank);
  ASSERT_EQ(out.lines().size(), 1u);
  EXPECT_EQ(out.lines()[0], "a: Port 3 offline.\n");
}

}  // namespace
