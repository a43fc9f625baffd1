#include "boxsim/cli.h"

#include <cstdlib>

#include "boxsim/box_file.h"
#include "platform/udp.h"

const char* const kBoxsimUsage =
    "usage: boxsim [options] BOXFILE\n"
    "       boxsim [options] --box ADDR=BOXFILE [--box ADDR=BOXFILE ...]\n"
    "\n"
    "Answers a box's status and data requests over UDP, as described by BOXFILE.\n"
    "\n"
    "  --addr A            address to serve on (default 127.0.0.1)\n"
    "  --box ADDR=BOXFILE  one box of several, served on ADDR (repeat for each box;\n"
    "                      not with --addr, --junk-addr or a lone BOXFILE)\n"
    "  --port N            UDP port (default 811; 0 picks a free one)\n"
    "  --log FILE          one line per datagram received: seconds, sender, hex bytes\n"
    "                      (with --box: one log per box, FILE.ADDR)\n"
    "  --max-seconds N     stop after N seconds\n"
    "  --junk-addr A       second address, the source of 'junk from_addr'\n"
    "  --latency MS        wait MS ms before sending each datagram (a slow network)\n"
    "\n"
    "Faults of the whole box (the file can set them per slot too):\n"
    "  --silent            never answer\n"
    "  --old-firmware      answer status requests with the 124-byte reply\n"
    "  --drop-first N      ignore the first N requests\n"
    "  --drop-request K    ignore request K (counted from 1; K,L,... for several)\n"
    "  --twice[=GAP]       send every reply again, GAP ms later (default 0)\n"
    "  --late MS           hold every reply back MS ms\n"
    "  --junk KIND[,KIND]  junk ahead of every reply: length, port_byte, from_812,\n"
    "                      from_addr, count_over, count_zero\n"
    "  --flood N[:MS]      N junk datagrams per request, MS ms apart (default 100),\n"
    "                      and never an answer\n"
    "  --reply-count X     count field of data replies: asked, over, zero or a number\n"
    "\n"
    "Ends on SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on Windows). Exit status 2 for a bad\n"
    "command line or box file.\n";

namespace {

bool whole_number(const std::string& text, long lo, long hi, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, CommandLine* out, std::string* error) {
  *out = CommandLine();
  bool addr_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      if (!out->box_path.empty()) {
        *error = "one box file only: '" + word + "'";
        return false;
      }
      out->box_path = word;
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    if (name == "help") {
      out->help = true;
      return true;
    }
    const bool flag = name == "silent" || name == "old-firmware" || name == "twice";
    if (flag) {
      if (has_value && name != "twice") {
        *error = "--" + name + " takes no value";
        return false;
      }
    } else if (!has_value) {
      if (i + 1 >= argc) {
        *error = "--" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }

    long v;
    if (name == "box") {
      const size_t split = value.find('=');
      const std::string addr = value.substr(0, split == std::string::npos ? 0 : split);
      uint32_t a = 0;
      if (split == std::string::npos || !dotted_ipv4(addr, &a) || split + 1 == value.size()) {
        *error = "--box: expected ADDR=BOXFILE with a dotted IPv4 address, got '" + value + "'";
        return false;
      }
      for (const auto& b : out->boxes)
        if (b.first == addr) {
          *error = "--box: " + addr + " given twice";
          return false;
        }
      out->boxes.emplace_back(addr, value.substr(split + 1));
    } else if (name == "addr") {
      addr_given = true;
      uint32_t a = 0;
      if (!dotted_ipv4(value, &a)) {
        *error = "--addr: not a dotted IPv4 address: " + value;
        return false;
      }
      out->server.addr = value;
    } else if (name == "port") {
      if (!whole_number(value, 0, 65535, &v)) {
        *error = "--port: expected 0 to 65535, got '" + value + "'";
        return false;
      }
      out->server.port = static_cast<uint16_t>(v);
    } else if (name == "latency") {
      if (!whole_number(value, 0, 60000, &v)) {
        *error = "--latency: expected 0 to 60000 ms, got '" + value + "'";
        return false;
      }
      out->server.latency_ms = static_cast<int>(v);
    } else if (name == "log") {
      out->server.log_path = value;
    } else if (name == "max-seconds") {
      if (!whole_number(value, 1, 86400 * 365, &v)) {
        *error = "--max-seconds: expected a positive number, got '" + value + "'";
        return false;
      }
      out->server.max_seconds = static_cast<int>(v);
    } else if (name == "junk-addr") {
      uint32_t a = 0;
      if (!dotted_ipv4(value, &a)) {
        *error = "--junk-addr: not a dotted IPv4 address: " + value;
        return false;
      }
      out->junk_addr = value;
    } else {
      std::string key = name;
      for (char& c : key)
        if (c == '-') c = '_';
      // Values of the flags use ',' and ':' where the file uses blanks.
      for (char& c : value)
        if (c == ',' || c == ':') c = ' ';
      Faults probe;
      bool known = false;
      std::string message;
      if (!set_fault(&probe, key, value, &known, &message)) {
        *error = known ? message : "unknown option --" + name;
        return false;
      }
      out->faults.emplace_back(key, value);
    }
  }
  if (!out->boxes.empty()) {
    if (!out->box_path.empty() || addr_given || !out->junk_addr.empty()) {
      *error = "--box cannot be combined with BOXFILE, --addr or --junk-addr";
      return false;
    }
    return true;
  }
  if (out->box_path.empty()) {
    *error = "no box file given";
    return false;
  }
  return true;
}

bool load_configured_box(const CommandLine& cl, Box* box, std::string* error) {
  if (!load_box(cl.box_path, box, error)) return false;
  for (const auto& kv : cl.faults) {
    bool known = false;
    if (!set_fault(&box->faults, kv.first, kv.second, &known, error)) return false;
  }
  if (!cl.junk_addr.empty()) box->junk_addr = cl.junk_addr;
  return true;
}

bool load_configured_boxes(const CommandLine& cl, std::vector<Box>* boxes,
                           std::vector<ServerOptions>* options, std::string* error) {
  boxes->clear();
  options->clear();
  for (const auto& b : cl.boxes) {
    CommandLine one = cl;
    one.box_path = b.second;
    Box box;
    if (!load_configured_box(one, &box, error)) return false;
    ServerOptions o = cl.server;
    o.addr = b.first;
    if (!o.log_path.empty()) o.log_path += "." + b.first;
    boxes->push_back(std::move(box));
    options->push_back(o);
  }
  return true;
}
