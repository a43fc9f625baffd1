#include "boxsim/cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

bool parse(std::vector<const char*> args, CommandLine* cl, std::string* error) {
  args.insert(args.begin(), "boxsim");
  return parse_command_line(static_cast<int>(args.size()), args.data(), cl, error);
}

}  // namespace

TEST(CommandLine, ReadsEveryOption) {
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(parse({"--addr",   "127.0.3.7",   "--port=0",
                     "--log",    "x.log",       "--max-seconds",
                     "9",        "--latency=2", "--junk-addr=127.0.3.8",
                     "--silent", "--twice=40",  "--drop-request",
                     "2,5",      "--junk",      "length,from_812",
                     "--flood",  "10:50",       "--reply-count",
                     "over",     "my.box"},
                    &cl, &error))
      << error;
  EXPECT_EQ(cl.server.addr, "127.0.3.7");
  EXPECT_EQ(cl.server.port, 0);
  EXPECT_EQ(cl.server.log_path, "x.log");
  EXPECT_EQ(cl.server.max_seconds, 9);
  EXPECT_EQ(cl.server.latency_ms, 2);
  EXPECT_EQ(cl.junk_addr, "127.0.3.8");
  EXPECT_EQ(cl.box_path, "my.box");
  using KV = std::pair<std::string, std::string>;
  EXPECT_EQ(cl.faults, (std::vector<KV>{{"silent", ""},
                                        {"twice", "40"},
                                        {"drop_request", "2 5"},
                                        {"junk", "length from_812"},
                                        {"flood", "10 50"},
                                        {"reply_count", "over"}}));
}

TEST(CommandLine, Defaults) {
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(parse({"demo.box"}, &cl, &error)) << error;
  EXPECT_EQ(cl.server.addr, "127.0.0.1");
  EXPECT_EQ(cl.server.port, 811);
  EXPECT_TRUE(cl.server.log_path.empty());
  EXPECT_EQ(cl.server.max_seconds, 0);
  EXPECT_TRUE(cl.faults.empty());
  ASSERT_TRUE(parse({"--help"}, &cl, &error));
  EXPECT_TRUE(cl.help);
}

TEST(CommandLine, Rejects) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  };
  const Case cases[] = {
      {{}, "no box file given"},
      {{"a.box", "b.box"}, "one box file only: 'b.box'"},
      {{"--box", "a.box"}, "--box: expected ADDR=BOXFILE with a dotted IPv4 address, got 'a.box'"},
      {{"--box=127.0.0.2=a.box", "--box", "127.0.0.2=b.box"}, "--box: 127.0.0.2 given twice"},
      {{"--box=127.0.0.2=a.box", "c.box"},
       "--box cannot be combined with BOXFILE, --addr or --junk-addr"},
      {{"--addr", "127.0.0.3", "--box=127.0.0.2=a.box"},
       "--box cannot be combined with BOXFILE, --addr or --junk-addr"},
      {{"--addr", "localhost", "a.box"}, "--addr: not a dotted IPv4 address: localhost"},
      {{"--port", "70000", "a.box"}, "--port: expected 0 to 65535, got '70000'"},
      {{"--max-seconds", "0", "a.box"}, "--max-seconds: expected a positive number, got '0'"},
      {{"a.box", "--log"}, "--log needs a value"},
      {{"--silent=1", "a.box"}, "--silent takes no value"},
      {{"--loud", "1", "a.box"}, "unknown option --loud"},
      {{"--late", "soon", "a.box"}, "late: expected a number from 0 to 600000, got 'soon'"},
      {{"--junk", "noise", "a.box"},
       "junk: unknown kind 'noise' (length, port_byte, from_812, from_addr, count_over, "
       "count_zero)"},
  };
  for (const Case& c : cases) {
    CommandLine cl;
    std::string error;
    EXPECT_FALSE(parse(c.args, &cl, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(CommandLine, FlagsLayOverTheFile) {
  const std::string path = ::testing::TempDir() + "boxsim_cli_test.box";
  {
    std::ofstream f(path);
    f << "late 10\njunk length\njunk_addr 127.0.3.9\n";
  }
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(
      parse({"--late", "20", "--junk", "port_byte", "--junk-addr", "127.0.3.10", path.c_str()}, &cl,
            &error));
  Box box;
  ASSERT_TRUE(load_configured_box(cl, &box, &error)) << error;
  EXPECT_EQ(box.faults.late_ms, 20);
  EXPECT_EQ(box.faults.junk, kJunkLength | kJunkPortByte);
  EXPECT_EQ(box.junk_addr, "127.0.3.10");
  std::remove(path.c_str());
}

TEST(CommandLine, SeveralBoxesEachGetTheirAddressAndLog) {
  const std::string path = ::testing::TempDir() + "boxsim_cli_boxes.box";
  {
    std::ofstream f(path);
    f << "system Lab\n";
  }
  CommandLine cl;
  std::string error;
  const std::string a = "127.0.0.2=" + path, b = "--box=127.0.0.3=" + path;
  ASSERT_TRUE(
      parse({"--log", "site.log", "--late", "5", "--box", a.c_str(), b.c_str()}, &cl, &error))
      << error;
  std::vector<Box> boxes;
  std::vector<ServerOptions> options;
  ASSERT_TRUE(load_configured_boxes(cl, &boxes, &options, &error)) << error;
  ASSERT_EQ(boxes.size(), 2u);
  ASSERT_EQ(options.size(), 2u);
  EXPECT_EQ(options[0].addr, "127.0.0.2");
  EXPECT_EQ(options[1].addr, "127.0.0.3");
  EXPECT_EQ(options[0].log_path, "site.log.127.0.0.2");
  EXPECT_EQ(options[1].log_path, "site.log.127.0.0.3");
  EXPECT_EQ(boxes[1].system_name, "Lab");
  EXPECT_EQ(boxes[1].faults.late_ms, 5);
  std::remove(path.c_str());
}
