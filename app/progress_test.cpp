#include "app/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {
std::string written(std::FILE* f) {
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
  return s;
}
}  // namespace

// Each update overwrites the whole of the last one, clear leaves a blank
// line with the cursor at its start; when not shown nothing is written.
TEST(ProgressLine, RewritesInPlaceOnlyWhenShown) {
  for (const bool shown : {true, false}) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    progress_line line(f, shown);
    line.update(3, 2, 1146, 32767);
    line.update(3, 2, 9, 9);
    line.waiting(4, 1, "127.0.0.1", 811, 2, 5);
    line.clear();
    line.clear();
    const std::string first = "Port 3 slot 2: 1146 of 32767 samples";
    const std::string second = "Port 3 slot 2: 9 of 9 samples";
    const std::string wait = "Port 4 slot 1: waiting for 127.0.0.1 port 811, try 2 of 5";
    EXPECT_EQ(written(f), shown ? "\r" + first + "\r" + second + std::string(7, ' ') + "\r" + wait +
                                      "\r" + std::string(wait.size(), ' ') + "\r"
                                : "");
    std::fclose(f);
  }
}
