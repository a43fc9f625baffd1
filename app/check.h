// --check: a site run judged by the Monitoring Plugins rules, for Nagios,
// Icinga, Naemon and Checkmk. Standard output is then one status line with
// every known sensor's newest value as performance data, and one line per
// problem after it; the exit status is the state.
#pragma once

#include <string>
#include <vector>

#include "app/site_file.h"
#include "app/walk_summary.h"
#include "report/sink.h"
#include "report/textfile.h"

enum check_state { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

struct check_verdict {
  int state = kCheckOk;
  std::string text;  // all of standard output, each line ended
};

// `walks` and `known` by box of `plan`; `outputs_written` false when the
// textfile or the site page could not be written.
check_verdict judge_site(const site_plan& plan, const std::vector<walk_summary>& walks,
                         const std::vector<std::vector<known_sensor>>& known,
                         bool outputs_written);

// An UNKNOWN verdict: `why` on the status line, `more` (lines joined by
// '\n') after it.
check_verdict unknown_verdict(const std::string& why, const std::string& more = "");

// "LOGFETCH STATE - " for a state.
std::string check_prefix(int state);

// The label of a sensor's performance data, quoted: 'BOX pPsS TYPE'.
std::string perf_label(const std::string& box, const known_sensor& k);

// The console of a check: what a site run says on standard output goes to
// standard error, which the monitoring system does not read as the result.
message_sink& check_console_sink();

// The check's own time limit. At the limit, unless the verdict was printed
// first, prints an UNKNOWN line and ends the process with status 3: files
// the run rewrites go through a rename, so they are whole or as before.
class check_watchdog {
 public:
  explicit check_watchdog(int seconds);
  ~check_watchdog();
  check_watchdog(const check_watchdog&) = delete;
  check_watchdog& operator=(const check_watchdog&) = delete;
  // Prints the verdict on standard output unless the limit came first.
  void print(const check_verdict& v);

 private:
  struct impl;
  impl* impl_;
};
