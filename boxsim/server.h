// The box on the network: one UDP socket, the responder behind it, replies
// sent when due, an optional log of every datagram received.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "boxsim/box.h"

struct ServerOptions {
  std::string addr = "127.0.0.1";
  uint16_t port = 811;   // 0: any free port
  std::string log_path;  // empty: no log
  int max_seconds = 0;   // 0: until stopped
  int latency_ms = 0;    // added before every datagram sent
};

// Serves `box` until should_stop() returns true or max_seconds have passed.
// Prints the ready line to `ready` once bound. Returns 0, or 1 with a
// message on stderr when a socket or the log cannot be set up.
int run_server(const Box& box, const ServerOptions& options, std::FILE* ready,
               const std::function<bool()>& should_stop);

// Serves every box on its own thread, each with its own options (its own
// address and log), until should_stop() returns true or each has ended.
// A box that cannot be set up stops them all. Returns the highest status
// of run_server's.
int run_servers(const std::vector<Box>& boxes, const std::vector<ServerOptions>& options,
                std::FILE* ready, const std::function<bool()>& should_stop);

// One line of the request log: seconds since start, sender, bytes in hex.
std::string log_line(double seconds, const std::string& from_addr, uint16_t from_port,
                     const uint8_t* data, size_t len);
