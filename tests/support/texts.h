// Texts that unit and end-to-end suites alike compare with byte for byte:
// the usage text and the report of the worked example.
#pragma once

#include <string>

namespace test_texts {

inline const char kUsage[] =
    "\nDownload data from Vellorix.\n\n"
    "logfetch <-i VellorixIP> <-p password>\n\n"
    "  -i VellorixIP   The IP of Vellorix to download data from.\n"
    "  -p password        The password of the Vellorix (set or get community).\n"
    "  -o                 Overwrite data if files exist.\n"
    "  -t                 Use local timezone for timestamp.\n"
    "  -n                 Download only samples newer than the last -n run.\n"
    "  -c                 Keep a CSV history per sensor beside the reports.\n"
    "  -w                 Write an HTML page of charts per box (implies -c).\n"
    "  -x FORMAT          Export the samples saved: openmetrics, influx, or both.\n"
    "  -m FILE            Write the run's outcome to FILE for a metrics collector.\n"
    "  -f FILE            Collect every box the site file FILE lists.\n"
    "  --task-xml         With -f: print a Windows task running it every 15 minutes.\n"
    "  --check            With -f: one status line for Nagios; --timeout SECONDS (50).\n"
    "  -v                 Display the version and exit.\n"
    "  -?                 Display this usage information and exit.\n\n"
    "You will be prompted for any required options you did not specify.\n\n";

// The worked example in UTC: a temperature sensor on port 1 ("Rack inlet",
// unit C) of the box "Server room" at `address`, clock 1796685429, summary
// values 25, 19, 27 and 18, samples 21, 22 and 24 ten minutes apart, the
// newest at 1796685000.
inline std::string worked_example_report(const std::string& address) {
  return "Data download from Vellorix.\n"
         "Vellorix address: " +
         address +
         "\n"
         "System name : Server room\n"
         "Sensor port : 1\n"
         "Sensor description : Rack inlet\n"
         "Current Vellorix time (UTC) Coordinated Universal Time : 07/12/2026 23:17:09\n"
         "Average high value : 25 C\n"
         "Average low value : 19 C\n"
         "Instantaneous high value : 27 C\n"
         "Instantaneous low value : 18 C\n"
         "Average value : 22.3 C\n"
         "12/07/2026 22:50:00, 21\n"
         "12/07/2026 23:00:00, 22\n"
         "12/07/2026 23:10:00, 24\n"
         "\n";
}

}  // namespace test_texts
