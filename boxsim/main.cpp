// boxsim: a simulated box on UDP, for trying logfetch and for its
// end-to-end tests.
#include <csignal>
#include <cstdio>
#include <string>

#include "boxsim/cli.h"

namespace {
volatile std::sig_atomic_t stop_signal = 0;
void on_signal(int) { stop_signal = 1; }
}  // namespace

int main(int argc, char** argv) {
  CommandLine cl;
  std::string error;
  if (!parse_command_line(argc, argv, &cl, &error)) {
    std::fprintf(stderr, "boxsim: %s\n\n%s", error.c_str(), kBoxsimUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kBoxsimUsage, stdout);
    return 0;
  }
  Box box;
  if (!load_configured_box(cl, &box, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }

  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  return run_server(box, cl.server, stdout, [] { return stop_signal != 0; });
}
