#include "report/site_page.h"

#include "report/chart_page.h"
#include "report/csv_history.h"
#include "report/sink.h"
#include "report/text_file.h"

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

// "6 d 4 h", "5 h", "40 min": as long as the box keeps what is not saved.
std::string span(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t days = seconds / 86400, hours = seconds % 86400 / 3600;
  if (days > 0) return std::to_string(days) + " d " + std::to_string(hours) + " h";
  if (hours > 0) return std::to_string(hours) + " h";
  return std::to_string(seconds / 60) + " min";
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
         "<th>Newest sample</th><th>Headroom</th><th>Charts</th></tr>\n";
  for (const site_page_row& r : rows) {
    const bool behind = box_behind(r, now);
    out += behind ? "<tr class=\"behind\">" : "<tr>";
    out += "<td>" + html_escape(r.name) + "</td><td>" + html_escape(r.address) + "</td><td>" +
           html_escape(r.outcome) + "</td><td>" + when(r.last_run) + "</td><td>" +
           when(r.newest_sample) + (behind ? " <span class=\"flag\">behind</span>" : "") +
           "</td><td>" +
           (!r.has_headroom ? std::string("unknown")
                            : span(r.headroom_seconds) +
                                  (r.lacking && r.headroom_seconds < 86400
                                       ? " <span class=\"flag\">short</span>"
                                       : "")) +
           "</td><td>" +
           (r.page.empty()
                ? std::string("none")
                : "<a href=\"" + html_escape(r.page) + "\">" + html_escape(r.page) + "</a>") +
           "</td></tr>\n";
  }
  out += "</table>\n</body>\n</html>\n";

  sink.say("Saving site page to %s ...\n", path.c_str());
  write_block block;
  text_file file(block, sink);
  if (!file.open(path, text_file::mode::replace, text_file::form::binary)) return false;
  file.text(out);
  return file.finish();
}
