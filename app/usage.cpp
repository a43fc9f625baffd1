#include "app/usage.h"

#include "app/say.h"
#include "device/messages.h"

int print_usage() {
  say("\nDownload data from %s.\n\n", kProductName);
  say("logfetch <-i %sIP> <-p password>\n\n", kProductName);
  say("  -i %sIP   The IP of %s to download data from.\n", kProductName, kProductName);
  say("  -p password        The password of the %s (set or get community).\n", kProductName);
  say("  -o                 Overwrite data if files exist.\n");
  say("  -t                 Use local timezone for timestamp.\n");
  say("  -n                 Download only samples newer than the last -n run.\n");
  say("  -c                 Keep a CSV history per sensor beside the reports.\n");
  say("  -w                 Write an HTML page of charts per box (implies -c).\n");
  say("  -x FORMAT          Export the samples saved: openmetrics, influx, or both.\n");
  say("  -m FILE            Write the run's outcome to FILE for a metrics collector.\n");
  say("  -f FILE            Collect every box the site file FILE lists.\n");
  say("  --task-xml         With -f: print a Windows task running it every 15 minutes.\n");
  say("  --check            With -f: one status line for Nagios; --timeout SECONDS (50).\n");
  say("  -v                 Display the version and exit.\n");
  say("  -?                 Display this usage information and exit.\n\n");
  say("You will be prompted for any required options you did not specify.\n\n");
  return 0;
}

void print_version() { say("logfetch %s\n", LOGFETCH_VERSION); }

void print_refusal(const options& refused) {
  const char* word = refused.refused.c_str();
  switch (refused.missing) {
    case lacking::file_name:
      say("Option %s needs a file name.\n", word);
      return;
    case lacking::format:
      say("Option %s needs a format: openmetrics, influx or openmetrics,influx.\n", word);
      return;
    case lacking::seconds:
      say("Option %s needs a number of seconds.\n", word);
      return;
    case lacking::nothing:
      break;
  }
  say("Argument '%s' not recognized.\n", word);
}
