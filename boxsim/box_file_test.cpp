#include "boxsim/box_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

Box parse_ok(const std::string& text) {
  Box box;
  std::string error;
  EXPECT_TRUE(parse_box(text, "t.box", &box, &error)) << error;
  return box;
}

std::string parse_error(const std::string& text) {
  Box box;
  std::string error;
  EXPECT_FALSE(parse_box(text, "t.box", &box, &error)) << text;
  return error;
}

}  // namespace

TEST(BoxFile, ReadsEveryKey) {
  const Box box = parse_ok(R"(# a comment
system  Server room
clock   1796685429
password public
absent 0xFB
junk_addr 127.0.9.9
late 20

[port 1 slot 2]
type 4-20ma
description "  Rack \"A\" # \x41"   # a comment
unit mA#1
zone 35 # Eastern
sample_size 4
interval 15
capacity 1000
head 100
count 300
inst_high -27
inst_low 0x12
avg_low 19
avg_high 25
last_log_time 4294967295
samples 1 2 -3
generate 2 const 9
twice 5
junk length, from_812
junk count_zero
reply_count over

[port 8 slot 1]
error 0xFD
silent
)");
  EXPECT_EQ(box.system_name, "Server room");
  ASSERT_TRUE(box.clock);
  EXPECT_EQ(*box.clock, 1796685429);
  EXPECT_EQ(box.password, std::optional<std::string>("public"));
  EXPECT_EQ(box.absent, std::optional<uint8_t>(0xFB));
  EXPECT_EQ(box.junk_addr, "127.0.9.9");
  EXPECT_EQ(box.faults.late_ms, 20);

  const Slot& s = box.slot(0, 1);
  ASSERT_EQ(s.kind, Slot::kSensor);
  EXPECT_EQ(s.sensor.type, 2);
  EXPECT_EQ(s.sensor.description, "  Rack \"A\" # A");
  EXPECT_EQ(s.sensor.unit, "mA#1");
  EXPECT_EQ(s.sensor.zone, 35);
  EXPECT_EQ(s.sensor.sample_size, 4);
  EXPECT_EQ(s.sensor.interval, 15);
  EXPECT_EQ(s.sensor.capacity, 1000);
  EXPECT_EQ(s.sensor.head, 100);
  EXPECT_EQ(s.sensor.count, 300);
  EXPECT_EQ(s.sensor.inst_high, -27);
  EXPECT_EQ(s.sensor.inst_low, 0x12);
  EXPECT_EQ(s.sensor.avg_low, 19);
  EXPECT_EQ(s.sensor.avg_high, 25);
  EXPECT_EQ(s.sensor.last_log_time, std::optional<int32_t>(-1));
  ASSERT_EQ(s.sensor.ring.size(), 1000u);
  // The five samples end just before the head.
  EXPECT_EQ(std::vector<int32_t>(s.sensor.ring.begin() + 95, s.sensor.ring.begin() + 100),
            (std::vector<int32_t>{1, 2, -3, 9, 9}));
  EXPECT_EQ(s.faults.twice_gap_ms, std::optional<int>(5));
  EXPECT_EQ(s.faults.junk, kJunkLength | kJunkFrom812 | kJunkCountZero);
  ASSERT_TRUE(s.faults.reply_count);
  EXPECT_EQ(s.faults.reply_count->kind, ReplyCount::kOver);

  const Slot& e = box.slot(7, 0);
  EXPECT_EQ(e.kind, Slot::kError);
  EXPECT_EQ(e.error, 0xFD);
  EXPECT_TRUE(e.faults.silent);
  EXPECT_EQ(box.slot(3, 0).kind, Slot::kAbsent);
}

TEST(BoxFile, DefaultsFollowTheSamples) {
  const Box box = parse_ok(
      "clock now\n"
      "[port 1 slot 1]\nsamples 4 5 6\n"
      "[port 2 slot 1]\ncapacity 4\nsamples 1 2 3 4 5 6\n"
      "[port 3 slot 1]\ntype 1\n");
  EXPECT_FALSE(box.clock);
  EXPECT_FALSE(box.password);
  const Sensor& a = box.slot(0, 0).sensor;
  EXPECT_EQ(a.capacity, 3);
  EXPECT_EQ(a.head, 0);
  EXPECT_EQ(a.count, 3);
  EXPECT_EQ(a.sample_size, 2);
  EXPECT_EQ(a.interval, 10);
  EXPECT_FALSE(a.last_log_time);
  EXPECT_EQ(a.ring, (std::vector<int32_t>{4, 5, 6}));
  // Six samples in a ring of four: the newest four stay, head after the sixth.
  const Sensor& b = box.slot(1, 0).sensor;
  EXPECT_EQ(b.head, 2);
  EXPECT_EQ(b.count, 4);
  EXPECT_EQ(b.ring, (std::vector<int32_t>{5, 6, 3, 4}));
  const Sensor& c = box.slot(2, 0).sensor;
  EXPECT_EQ(c.count, 0);
  EXPECT_EQ(c.capacity, 1);
}

TEST(BoxFile, GeneratesSamples) {
  const Box box = parse_ok(
      "[port 1 slot 1]\ngenerate 4 ramp 10 -3\n"
      "[port 1 slot 2]\ngenerate 9 wave 100 20 8\n"
      "[port 2 slot 1]\ngenerate 32767 random 7 -5 5\n"
      "[port 2 slot 2]\ngenerate 32767 random 7 -5 5\n"
      "[port 3 slot 1]\ncapacity 32767\ngenerate 40000 ramp 0 1\n");
  EXPECT_EQ(box.slot(0, 0).sensor.ring, (std::vector<int32_t>{10, 7, 4, 1}));
  EXPECT_EQ(box.slot(0, 1).sensor.ring,
            (std::vector<int32_t>{80, 90, 100, 110, 120, 110, 100, 90, 80}));
  const std::vector<int32_t>& r = box.slot(1, 0).sensor.ring;
  ASSERT_EQ(r.size(), 32767u);
  EXPECT_EQ(r, box.slot(1, 1).sensor.ring) << "the same seed gives the same samples";
  int lo = 0, hi = 0;
  for (int32_t v : r) {
    lo = std::min<int>(lo, v);
    hi = std::max<int>(hi, v);
  }
  EXPECT_EQ(lo, -5);
  EXPECT_EQ(hi, 5);
  // 40000 samples through a ring of 32767: the oldest kept is sample 7233.
  const Sensor& big = box.slot(2, 0).sensor;
  EXPECT_EQ(big.count, 32767);
  EXPECT_EQ(big.head, 40000 % 32767);
  EXPECT_EQ(big.ring[big.head], 7233);
  EXPECT_EQ(big.ring[big.head - 1], 39999);
}

TEST(BoxFile, HostileValuesAreAccepted) {
  const Box box = parse_ok(
      "clock -2147483648\n"
      "system 123456789012345678901234567890123456\n"
      "[port 1 slot 1]\ntype 255\nzone 255\nsample_size 3\ncapacity 0\ncount -5\n"
      "head 32767\ndescription 123456789012345678901234567890123456\n"
      "unit 0123456789abcdef\nsamples 1\n");
  EXPECT_EQ(*box.clock, INT32_MIN);
  EXPECT_EQ(box.system_name.size(), 36u);
  const Sensor& s = box.slot(0, 0).sensor;
  EXPECT_EQ(s.type, 255);
  EXPECT_EQ(s.zone, 255);
  EXPECT_EQ(s.sample_size, 3);
  EXPECT_EQ(s.capacity, 0);
  EXPECT_EQ(s.count, -5);
  EXPECT_EQ(s.description.size(), 36u);
  EXPECT_EQ(s.unit.size(), 16u);
  EXPECT_FALSE(s.ring.empty());
}

TEST(BoxFile, ErrorsNameTheLine) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"system a\nbogus 1\n", "t.box:2: unknown key 'bogus'"},
      {"[port 9 slot 1]\n", "t.box:1: expected [box] or [port P slot S] with P 1-8 and S 1-2"},
      {"[port 1 slot 0]\n", "t.box:1: expected [box] or [port P slot S] with P 1-8 and S 1-2"},
      {"[port 1 slot 1\n", "t.box:1: section header without closing ']'"},
      {"[port 1 slot 1]\n[port 1 slot 1]\n", "t.box:2: port 1 slot 1 is described twice"},
      {"\n\n[port 1 slot 1]\nzone 256\n",
       "t.box:4: zone: expected a number from 0 to 255, got '256'"},
      {"[port 1 slot 1]\ncount 40000\n",
       "t.box:2: count: expected a number from -32768 to 32767, got '40000'"},
      {"[port 1 slot 1]\ntype lamp\n",
       "t.box:2: type: expected a number from 0 to 255, got 'lamp' or a type name such as "
       "temperature"},
      {"[port 1 slot 1]\nunit 0123456789abcdefg\n", "t.box:2: unit: at most 16 bytes, got 17"},
      {"[port 1 slot 1]\ndescription \"open\n", "t.box:2: description: missing closing quote"},
      {"[port 1 slot 1]\nunit \"\\q\"\n", "t.box:2: unit: unknown escape \\q"},
      {"[port 1 slot 1]\nzone 1\nzone 2\n", "t.box:3: 'zone' given twice in this section"},
      {"type 1\n", "t.box:1: 'type' belongs in a [port P slot S] section"},
      {"[port 1 slot 1]\nclock 5\n", "t.box:2: 'clock' belongs before the first section"},
      {"[port 1 slot 1]\nerror 0xFD\nzone 1\n",
       "t.box:3: 'error' and sensor keys cannot share a slot"},
      {"[port 1 slot 1]\nzone 1\nerror 0xFD\n",
       "t.box:3: 'error' and sensor keys cannot share a slot"},
      {"[port 1 slot 1]\ngenerate 3 saw 1\n",
       "t.box:2: generate: expected COUNT const V | ramp START STEP | wave MID AMPLITUDE PERIOD "
       "| random SEED LOW HIGH"},
      {"[port 1 slot 1]\ngenerate 3 wave 1 2 1\n",
       "t.box:2: generate wave: PERIOD must be 2 or more"},
      {"[port 1 slot 1]\ngenerate 2000000 const 1\n",
       "t.box:2: generate: expected a number from 1 to 1000000, got '2000000'"},
      {"x 1\n[port 2 slot 2]\n\ngenerate 40000 const 1\n", "t.box:1: unknown key 'x'"},
      {"[port 2 slot 2]\n\ngenerate 40000 const 1\n",
       "t.box:1: more than 32767 samples: give a capacity (the newest ones are kept)"},
      {"silent yes\n", "t.box:1: silent: takes no value"},
      {"junk length lots\n",
       "t.box:1: junk: unknown kind 'lots' (length, port_byte, from_812, from_addr, count_over, "
       "count_zero)"},
      {"reply_count many\n",
       "t.box:1: reply_count: expected asked, over, zero or a number from -32768 to 32767, got "
       "'many'"},
      {"junk_addr localhost\n",
       "t.box:1: junk_addr: expected a dotted IPv4 address, got 'localhost'"},
      {"samples 1x\n", "t.box:1: 'samples' belongs in a [port P slot S] section"},
      {"[port 1 slot 1]\nsamples 1 0x1G\n",
       "t.box:2: samples: expected a number from -2147483648 to 4294967295, got '0x1G'"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error);
}

TEST(BoxFile, LoadNamesTheFile) {
  const std::string path = ::testing::TempDir() + "boxsim_load_test.box";
  {
    std::ofstream f(path);
    f << "system ok\n\nclock soon\n";
  }
  Box box;
  std::string error;
  EXPECT_FALSE(load_box(path, &box, &error));
  EXPECT_EQ(error,
            path + ":3: clock: expected a number from -2147483648 to 4294967295, got 'soon'");
  std::remove(path.c_str());
  EXPECT_FALSE(load_box(path, &box, &error));
  EXPECT_EQ(error, path + ": cannot open");
}
