// boxsim: a simulated box on UDP, for trying logfetch and for its
// end-to-end tests.
#include <cstdio>
#include <string>
#include <vector>

#include "boxsim/cli.h"
#include "platform/udp.h"

int main(int argc, char** argv) {
  // Before the address checks of the command line and the box file.
  const UdpLayer sockets;
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
  int status = 0;
  if (cl.boxes.empty()) {
    Box box;
    if (!load_configured_box(cl, &box, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    catch_stop_requests();
    status = run_server(box, cl.server, stdout, [] { return stop_requested(); });
  } else {
    std::vector<Box> boxes;
    std::vector<ServerOptions> options;
    if (!load_configured_boxes(cl, &boxes, &options, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    catch_stop_requests();
    status = run_servers(boxes, options, stdout, [] { return stop_requested(); });
  }
  // Tells a clean stop from the process being ended from outside, which
  // can exit with status 0 too (Wine ends a Windows program so on Ctrl-C
  // when it has no handler).
  if (status == 0 && stop_requested()) std::fputs("boxsim: stopped\n", stderr);
  return status;
}
