#include "report/site_page.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "report/chart_page.h"
#include "report/csv_history.h"
#include "report/sink.h"

namespace {

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse}th,td{padding:.3em .8em;border-bottom:1px solid #ddd;"
    "text-align:left}tr.behind td{background:#fde8e8}.flag{color:#b00;font-weight:bold}";

std::string when(int64_t t) {
  if (t == 0) return "never";
  char buf[32];
  return std::string(buf, put_iso_utc(buf, static_cast<int32_t>(t)));
}

}  // namespace

bool box_behind(const site_page_row& row, int64_t now) {
  if (row.newest_sample == 0) return true;
  const int64_t interval = row.interval_minutes > 0 ? row.interval_minutes * 60LL : 0;
  return now - row.newest_sample > 2 * interval;
}

bool write_site_page(const std::string& path, const std::vector<site_page_row>& rows, int64_t now,
                     message_sink& sink) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Site</title>\n<style>";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n<h1>Site</h1>\n<p>Page written " + when(now) +
         "; times in UTC. A box whose newest sample is older than two logging intervals is "
         "flagged.</p>\n<table>\n<tr><th>Box</th><th>Address</th><th>Last run</th><th>Ended</th>"
         "<th>Newest sample</th><th>Charts</th></tr>\n";
  for (const site_page_row& r : rows) {
    const bool behind = box_behind(r, now);
    out += behind ? "<tr class=\"behind\">" : "<tr>";
    out += "<td>" + html_escape(r.name) + "</td><td>" + html_escape(r.address) + "</td><td>" +
           html_escape(r.outcome) + "</td><td>" + when(r.last_run) + "</td><td>" +
           when(r.newest_sample) + (behind ? " <span class=\"flag\">behind</span>" : "") +
           "</td><td>" +
           (r.page.empty()
                ? std::string("none")
                : "<a href=\"" + html_escape(r.page) + "\">" + html_escape(r.page) + "</a>") +
           "</td></tr>\n";
  }
  out += "</table>\n</body>\n</html>\n";

  sink.say("Saving site page to %s ...\n", path.c_str());
  const std::string temp = path + "." + std::to_string(process_id()) + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    const int error = errno;
    sink.say("Can't open file:%s to write data !\n", path.c_str());
    sink.explain("logfetch: %s: %s\n", path.c_str(), std::strerror(error));
    return false;
  }
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size() && std::fflush(f) == 0;
  int error = ok ? 0 : errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && !file_replace(temp.c_str(), path.c_str())) {
    ok = false;
    error = errno;
  }
  if (ok) return true;
  std::remove(temp.c_str());
  sink.say("Error writing data to file:%s !\n", path.c_str());
  sink.explain("logfetch: %s: %s\n", path.c_str(), std::strerror(error != 0 ? error : EIO));
  return false;
}
