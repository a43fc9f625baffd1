#include "boxsim/box.h"

#include <gtest/gtest.h>

#include "device/messages.h"

TEST(LayOutRing, PutsNewestJustBeforeHead) {
  struct Case {
    const char* what;
    std::vector<int32_t> samples;
    int16_t capacity, head;
    std::vector<int32_t> ring;
  };
  const Case cases[] = {
      {"full ring, head 0", {1, 2, 3}, 3, 0, {1, 2, 3}},
      {"partial from 0", {1, 2}, 4, 2, {1, 2, -1, -1}},
      {"wraps past the end", {1, 2, 3}, 4, 1, {3, -1, 1, 2}},
      {"more than fits keeps the newest", {1, 2, 3, 4, 5}, 3, 2, {4, 5, 3}},
      {"head beyond capacity", {7}, 2, 5, {7, -1}},
      {"negative head counts from the end", {7, 8}, 3, -1, {7, 8, -1}},
      {"capacity 0 stores the samples", {5, 6}, 0, 0, {5, 6}},
      {"capacity 0 and nothing listed", {}, 0, 0, {-1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lay_out_ring(c.samples, c.capacity, c.head, -1), c.ring) << c.what;
  }
}

TEST(PutSample, LittleEndianAtEveryWidth) {
  struct Case {
    int32_t v;
    int width;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {-1, 1, {0xFF}},
      {300, 1, {0x2C}},  // cut to the width
      {-2, 2, {0xFE, 0xFF}},
      {0x123456, 3, {0x56, 0x34, 0x12}},
      {-32768, 4, {0x00, 0x80, 0xFF, 0xFF}},
      {-1, 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {1, 5, {0x01, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(c.bytes.size() + 1, 0xAA);
    put_sample(out.data(), c.v, c.width);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), c.bytes) << c.v << "/" << c.width;
    EXPECT_EQ(out.back(), 0xAA) << "wrote past the width " << c.width;
  }
}

TEST(AbsentError, OfflineForAnEmptyPortElseNoDatalog) {
  Box box;
  box.slot(2, 1).kind = Slot::kSensor;
  EXPECT_EQ(box.absent_error(0), kBoxPortOffline);
  EXPECT_EQ(box.absent_error(2), kBoxNoDatalog);
  box.absent = 0xFB;
  EXPECT_EQ(box.absent_error(0), 0xFB);
  EXPECT_EQ(box.absent_error(2), 0xFB);
}
