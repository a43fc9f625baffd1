#include "app/walk.h"

#include <gtest/gtest.h>

#include <string>

#include "device/messages.h"
#include "tests/support/test_sensor.h"

namespace {

using report_test::capture_sink;

// Socket error numbers whose low byte is a local code or a box byte are told
// by their number, and only box bytes decide as the box's errors do.
TEST(JudgeFailure, OnlyBoxBytesReadAsBoxErrors) {
  const auto socket = [](int32_t n) { return read_result{read_outcome::socket_error, n}; };
  const auto box = [](uint8_t b) {
    return read_result{read_outcome::box_error, static_cast<int8_t>(b)};
  };
  const struct {
    read_result result;
    const char* out;
    after_failure next;
    bool unread;
  } cases[] = {
      // 10091 & 0xFF is kErrInvalidLog, 10087 & 0xFF kErrNoReply.
      {socket(10091), "Read Vellorix status, return unknown error (10091).\n",
       after_failure::next_slot, true},
      {socket(10087), "Read Vellorix status, return unknown error (10087).\n",
       after_failure::next_slot, true},
      // The low bytes of the wrong password and of an offline port.
      {socket(0x27FA), "Read Vellorix status, return unknown error (10234).\n",
       after_failure::next_slot, true},
      {socket(0x27FD), "Read Vellorix status, return unknown error (10237).\n",
       after_failure::next_slot, true},
      {{read_outcome::local_error, kErrTimeout},
       "Read Vellorix status, return unknown error (100).\n",
       after_failure::next_slot,
       true},
      {box(kBoxWrongPassword), "Wrong password !\n", after_failure::end_walk, true},
      {box(kBoxPortOffline), "Port 3 offline.\n", after_failure::next_port, false},
      {{read_outcome::invalid_log, kErrInvalidLog},
       "Sensor on port 3 has an invalid datalog !\n",
       after_failure::next_slot,
       true},
      {{read_outcome::no_reply, kErrNoReply},
       "No Vellorix reply !\n",
       after_failure::end_walk,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    capture_sink sink;
    const failure_verdict v = judge_failure(sink, c.result, 2);
    EXPECT_EQ(sink.text, c.out);
    EXPECT_EQ(v.next, c.next);
    EXPECT_EQ(v.unread, c.unread);
    EXPECT_EQ(v.ending != nullptr, c.next == after_failure::end_walk);
  }
}
}  // namespace
