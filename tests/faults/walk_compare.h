// Runs the real logfetch over a boxsim box and keeps everything the run
// left: its console text, exit status, time and every file it wrote, so a
// run under faults can be compared with a run of the same box over a clean
// network.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

struct Walk {
  RunResult run;
  std::map<std::string, std::string> files;  // name -> bytes
  size_t requests = 0;                       // datagrams the box received
  // Seconds from the first datagram the box received to the last: the walk's
  // own conversation, free of the time a runner (Wine) takes to start and end
  // the program.
  double span = 0;
};

// One walk of `box_text` on 127.0.NET.n with the fault flags `faults`, and
// `args` after "-i ADDRESS -p pw".
inline Walk walk_box(int n, const std::string& box_text, const std::vector<std::string>& faults,
                     const std::vector<std::string>& args = {}) {
  Walk w;
  BoxSim box(n, box_text, faults);
  if (!box.ready()) {
    ADD_FAILURE() << "boxsim did not start on " << box_addr(n);
    return w;
  }
  TempDir dir;
  std::vector<std::string> all = {"-i", box.addr(), "-p", "pw"};
  all.insert(all.end(), args.begin(), args.end());
  w.run = run_logfetch(dir, all, "", 120);
  for (const std::string& name : dir.list()) w.files[name] = dir.read(name);
  const std::vector<LoggedRequest> requests = box.requests();
  w.requests = requests.size();
  if (!requests.empty()) w.span = requests.back().seconds - requests.front().seconds;
  return w;
}

// What a run may take beyond the waits it must sit out: the program's own
// work. Through a runner (Wine) starting the program alone can take many
// seconds on a loaded machine (over a minute has been seen), so there the
// whole run is only checked for a hang, and the conversation (expect_timely)
// carries the tight bound.
inline double slack() { return through_runner() ? 110.0 : 3.0; }

// The conversation sits out `waits_between` seconds of waits between its
// first and last request, the whole run `waits_total`; neither takes more
// than a few seconds beyond that.
inline void expect_timely(const Walk& w, double waits_between, double waits_total,
                          const std::string& what = "") {
  EXPECT_LT(w.span, waits_between + 3.0) << what;
  EXPECT_LT(w.run.seconds, waits_total + slack()) << what;
}

// The console lines of `out` before the first that starts with `stop`.
inline std::string lines_before(const std::string& out, const std::string& stop) {
  std::string kept;
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? end : end - at + 1);
    if (line.compare(0, stop.size(), stop) == 0) break;
    kept += line;
    at = end == std::string::npos ? out.size() : end + 1;
  }
  return kept;
}
