// Site runs end to end: one logfetch -f walks several boxsim boxes at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// The last bytes of the boxes' addresses on 127.0.NET.N, per TEST.
constexpr int kSameBytes = 1, kDeadBoxes = 10, kDeadline = 20, kOpenToOthers = 30;

// A small box of its own per address: its system name tells them apart.
std::string box_text(const std::string& system, int gain) {
  return "system " + system +
         "\nclock 1796685429\npassword public\n"
         "[port 1 slot 1]\ntype temperature\ndescription Inlet\nunit C\nsample_size 2\n"
         "interval 5\ncapacity 2016\nlast_log_time 1796685000\ngenerate 300 wave -20 60 96\n"
         "gain " +
         std::to_string(gain) +
         "\n[port 1 slot 2]\ntype humidity\ndescription Seal\nunit %\nsample_size 1\n"
         "interval 15\ncapacity 672\nlast_log_time 1796685000\ngenerate 90 random 7 40 60\n"
         "[port 2 slot 1]\ntype 4-20ma\ndescription Flow\nunit mA\nsample_size 2\ninterval 10\n"
         "capacity 500\nlast_log_time 1796684400\ngenerate 50 ramp 40 200\n";
}

struct SiteBox {
  std::string name, addr;
  bool local_time;
};

std::string site_toml(const std::vector<SiteBox>& boxes, const std::string& extra = "") {
  std::string t = extra;
  for (const SiteBox& b : boxes)
    t += "[[box]]\nname = \"" + b.name + "\"\naddress = \"" + b.addr +
         "\"\npassword = \"public\"\nlocal_time = " + (b.local_time ? "true" : "false") + "\n";
  return t;
}

// A file's bytes without the line that says when a page was written.
std::string timeless(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, nl + 1 - at);
    if (line.find("Page written") == std::string::npos) out += line;
    at = nl + 1;
  }
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = std::min(text.find('\n', at), text.size());
    out.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return out;
}

void write_private(const TempDir& dir, const std::string& name, const std::string& text) {
  dir.write(name, text);
  chmod(dir.file(name).c_str(), 0600);
}

// Twice, so that the second run is a -n poll with new samples: every file
// the site run writes, and each box's lines, are those of separate runs.
TEST(SiteRun, WritesWhatSeparateRunsWrite) {
  E2E_NEEDS_ROOT();
  std::vector<SiteBox> boxes;
  std::vector<std::unique_ptr<BoxSim>> sims[2];
  for (int i = 0; i < 3; ++i) {
    for (int copy = 0; copy < 2; ++copy) {
      sims[copy].emplace_back(
          new BoxSim(kSameBytes + i + 3 * copy, box_text("Room " + std::to_string(i), 6 + i)));
      ASSERT_TRUE(sims[copy].back()->ready());
    }
  }
  // The site run and the separate runs see boxes of the same bytes, but on
  // addresses of their own, and the addresses are in the file names: the
  // separate runs' files are compared under the site boxes' names.
  TempDir site, single;
  for (int i = 0; i < 3; ++i)
    boxes.push_back({"room-" + std::to_string(i), sims[0][i]->addr(), i == 1});
  write_private(site, "site.toml", site_toml(boxes, "concurrency = 3\n"));
  for (int round = 0; round < 2; ++round) {
    const RunResult s = run_logfetch(site, {"-f", "site.toml", "-n", "-w", "-m", "site.prom"});
    ASSERT_FALSE(s.timed_out);
    EXPECT_EQ(s.status, 0) << s.out;
    std::map<std::string, std::vector<std::string>> by_box;
    for (const std::string& line : lines_of(s.out)) {
      if (line.empty() || line.rfind("Summary: ", 0) == 0 || line.rfind("Saving site page", 0) == 0)
        continue;
      const size_t colon = line.find(": ");
      ASSERT_NE(colon, std::string::npos) << line;
      by_box[line.substr(0, colon)].push_back(line.substr(colon + 2));
    }
    for (int i = 0; i < 3; ++i) {
      std::vector<std::string> args = {"-i", sims[1][i]->addr(), "-p", "public", "-n", "-w"};
      if (boxes[i].local_time) args.push_back("-t");
      const RunResult r = run_logfetch(single, args);
      EXPECT_EQ(r.status, 0) << r.out;
      std::string expected = r.out;
      // The single run names its own address where the site run names the site box's.
      for (size_t at; (at = expected.find(sims[1][i]->addr())) != std::string::npos;)
        expected.replace(at, sims[1][i]->addr().size(), sims[0][i]->addr());
      std::vector<std::string> want = lines_of(expected);
      while (!want.empty() && want.back().empty()) want.pop_back();
      EXPECT_EQ(by_box[boxes[i].name], want) << "round " << round << ", box " << i;
    }
    // The second run saves only the temperature sensor's new samples.
    EXPECT_NE(s.out.find(round == 0 ? "Summary: room-1: 3 sensors saved, 440 samples saved, ok\n"
                                    : "Summary: room-1: 1 sensor saved, 7 samples saved, ok\n"),
              std::string::npos)
        << s.out;
  }
  for (const std::string& name : site.list()) {
    if (name == "site.toml" || name == "index.html" || name == "logfetch.state" ||
        name == "site.prom")
      continue;
    std::string single_name = name;
    for (int i = 0; i < 3; ++i) {
      const size_t at = single_name.find(sims[0][i]->addr());
      if (at == 0) single_name.replace(0, sims[0][i]->addr().size(), sims[1][i]->addr());
    }
    ASSERT_TRUE(single.exists(single_name)) << name;
    std::string want = single.read(single_name);
    for (int i = 0; i < 3; ++i)
      for (size_t at; (at = want.find(sims[1][i]->addr())) != std::string::npos;)
        want.replace(at, sims[1][i]->addr().size(), sims[0][i]->addr());
    EXPECT_EQ(timeless(site.read(name)), timeless(want)) << name;
  }
  EXPECT_NE(site.read("index.html").find("room-2"), std::string::npos);
  // One textfile for the site: every box's outcome in it.
  const std::string prom = site.read("site.prom");
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(prom.find("logfetch_run_exit_status{box=\"room-" + std::to_string(i) +
                        "\",address=\"" + sims[0][i]->addr() + "\"} 0\n"),
              std::string::npos)
        << prom;
}

// Two boxes that never answer cost their own five waits each, at the same
// time, and the box that answers is walked meanwhile.
TEST(SiteRun, DeadBoxesDelayNoOther) {
  E2E_NEEDS_ROOT();
  BoxSim live(kDeadBoxes, box_text("Live", 0));
  ASSERT_TRUE(live.ready());
  TempDir dir;
  write_private(dir, "site.toml",
                site_toml({{"dead-a", box_addr(kDeadBoxes + 1), false},
                           {"dead-b", box_addr(kDeadBoxes + 2), false},
                           {"live", live.addr(), false}}));
  const RunResult r = run_logfetch(dir, {"-f", dir.file("site.toml")}, "", 90);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1) << r.out;
  // One box's five waits are 25 s; one after another the dead boxes took 50.
  EXPECT_LT(r.seconds, 40) << r.out;
  EXPECT_NE(r.out.find("dead-a: No Vellorix reply !\n"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("Summary: dead-b: 0 sensors saved, 0 samples saved, ended early: no reply\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Summary: live: 3 sensors saved"), std::string::npos) << r.out;
  EXPECT_TRUE(dir.exists(live.addr() + "_p1_temperature.txt"));
}

// A slow box past its deadline stops after the sensor it is on.
TEST(SiteRun, DeadlineStopsTheWalkAfterItsSensor) {
  E2E_NEEDS_ROOT();
  BoxSim slow(kDeadline, box_text("Slow", 0), {"--latency", "700"});
  ASSERT_TRUE(slow.ready());
  TempDir dir;
  write_private(dir, "site.toml", site_toml({{"slow", slow.addr(), false}}, "deadline = 1\n"));
  const RunResult r = run_logfetch(dir, {"-f", dir.file("site.toml")});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("slow: Deadline of 1 s reached, the walk stops here.\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Summary: slow: 1 sensor saved"), std::string::npos) << r.out;
  EXPECT_FALSE(dir.exists(slow.addr() + "_p2_4-20ma.txt"));
}

// A site file others may read holds passwords in the open: refused, and
// nothing is sent to any box.
TEST(SiteRun, SiteFileOthersMayReadIsRefusedBeforeAnythingIsSent) {
  SKIP_IF_LOGFETCH_UNDER_WINE(
      "Windows guards the file by its folder's access list, not by mode bits");
  E2E_NEEDS_ROOT();
  BoxSim box(kOpenToOthers, box_text("Open", 0));
  ASSERT_TRUE(box.ready());
  TempDir dir;
  dir.write("site.toml", site_toml({{"open", box.addr(), false}}));
  chmod(dir.file("site.toml").c_str(), 0644);
  const RunResult r = run_logfetch(dir, {"-f", dir.file("site.toml")});
  EXPECT_EQ(r.status, kExitMinusOne);
  EXPECT_EQ(r.out,
            dir.file("site.toml") +
                " may be read by others: it holds passwords, so give it mode 600 (chmod 600 " +
                dir.file("site.toml") + ") !\n");
  EXPECT_TRUE(box.requests().empty());
  const RunResult both = run_logfetch(dir, {"-f", dir.file("site.toml"), "-i", box.addr()});
  EXPECT_EQ(both.status, kExitMinusOne);
  EXPECT_EQ(both.out, "-i and -p cannot be combined with -f !\n");
}

}  // namespace
