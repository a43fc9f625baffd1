#include "report/chart_page.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/messages.h"

namespace {

constexpr int kPorts = 8, kSlots = 2;
// Chart geometry in pixels: the plot is kChartColumns wide.
constexpr int kWidth = 760, kHeight = 250;
constexpr int kLeft = 70, kTop = 12, kPlotHeight = 196;

struct History {
  sensor_label label;
  bool read_this_run = false;
  bool foreign = false;  // there, but not a history
  int bad_rows = 0;
  std::vector<int32_t> times;
  std::vector<int64_t> values;
};

bool file_exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

bool read_all(const std::string& path, std::string* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out->resize(static_cast<size_t>(size));
    ok = std::fread(&(*out)[0], 1, out->size(), f) == out->size();
  }
  std::fclose(f);
  return ok;
}

void load(const std::string& path, History* h) {
  std::string text;
  const std::string header = std::string(kHistoryHeader) + "\r\n";
  if (!read_all(path, &text) || text.compare(0, header.size(), header) != 0) {
    h->foreign = !text.empty();
    return;
  }
  const bool tenths = is_tenths_type(h->label.type);
  const char* p = text.data() + header.size();
  const char* const end = text.data() + text.size();
  h->times.reserve(static_cast<size_t>(end - p) / 50);
  h->values.reserve(static_cast<size_t>(end - p) / 50);
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* row_end = nl != nullptr ? nl : end;
    int64_t t, v;
    if (nl != nullptr && row_end > p && row_end[-1] == '\r' &&
        parse_history_row(p, row_end - 1, tenths, &t, &v) && t >= INT32_MIN && t <= INT32_MAX) {
      h->times.push_back(static_cast<int32_t>(t));
      h->values.push_back(v);
    } else {
      ++h->bad_rows;
    }
    p = nl != nullptr ? nl + 1 : end;
  }
}

std::string time_text(int32_t t) {
  char buf[32];
  return std::string(buf, put_iso_utc(buf, t));
}

std::string value_text(int64_t v, bool tenths, const std::string& unit) {
  char buf[32];
  std::string s(buf, put_history_value(buf, v, tenths));
  if (!unit.empty()) s += " " + html_escape(unit);
  return s;
}

std::string type_text(uint8_t type) {
  const char* word = sensor_type_name(type);
  return *word != '\0' ? word : "type " + std::to_string(type);
}

// Value to pixel row: the maximum at the top of the plot, the minimum at its
// bottom, rounded to the nearest row.
struct Scale {
  int64_t lo, hi;
  int y(int64_t v) const {
    if (hi == lo) return kTop + kPlotHeight / 2;
    const int64_t num = (hi - v) * kPlotHeight * 2 + (hi - lo);
    return kTop + static_cast<int>(num / (2 * (hi - lo)));
  }
};

// The line through every column's extremes, in the order they came.
void put_line(std::string& out, const History& h, int64_t lo, int64_t hi) {
  struct Column {
    bool used = false;
    size_t min_at = 0, max_at = 0;
  };
  std::vector<Column> cols(kChartColumns);
  // The writer keeps rows in time order; an edited file may not.
  int64_t first = h.times.front(), last = first;
  for (const int32_t t : h.times) {
    if (t < first) first = t;
    if (t > last) last = t;
  }
  const int64_t span = last - first;
  for (size_t i = 0; i < h.times.size(); ++i) {
    const int c =
        span == 0 ? 0 : static_cast<int>((h.times[i] - first) * (kChartColumns - 1) / span);
    Column& col = cols[static_cast<size_t>(c)];
    if (!col.used) {
      col = Column{true, i, i};
      continue;
    }
    if (h.values[i] < h.values[col.min_at]) col.min_at = i;
    if (h.values[i] > h.values[col.max_at]) col.max_at = i;
  }
  const Scale scale{lo, hi};
  out += "<path class=\"line\" d=\"";
  char buf[48];
  char command = 'M';
  for (int c = 0; c < kChartColumns; ++c) {
    const Column& col = cols[static_cast<size_t>(c)];
    if (!col.used) continue;
    const size_t a = col.min_at < col.max_at ? col.min_at : col.max_at;
    const size_t b = col.min_at < col.max_at ? col.max_at : col.min_at;
    const int x = kLeft + c;
    out.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%c%d %d", command, x,
                                                      scale.y(h.values[a]))));
    command = 'L';
    if (b != a) {
      out.append(buf, static_cast<size_t>(
                          std::snprintf(buf, sizeof buf, "L%d %d", x, scale.y(h.values[b]))));
    }
  }
  out += "\"/>\n";
}

void put_section(std::string& out, const History& h) {
  const sensor_label& l = h.label;
  const bool tenths = is_tenths_type(l.type);
  out += "<section class=\"sensor\">\n<h2>Port " + std::to_string(l.port) + ", slot " +
         std::to_string(l.slot) + ": " + html_escape(type_text(l.type)) + "</h2>\n";
  if (h.read_this_run) {
    out += "<p class=\"about\">" + html_escape(l.description) + " &middot; unit " +
           (l.unit.empty() ? "none" : html_escape(l.unit)) + " &middot; system " +
           html_escape(l.system_name) + "</p>\n";
  } else {
    out += "<p class=\"about\">Not read this run: description and unit unknown.</p>\n";
  }
  if (h.foreign) {
    out += "<p class=\"note\">Its file is not a CSV history.</p>\n</section>\n";
    return;
  }
  const size_t n = h.times.size();
  size_t lo_at = 0, hi_at = 0;
  for (size_t i = 1; i < n; ++i) {
    if (h.values[i] < h.values[lo_at]) lo_at = i;
    if (h.values[i] > h.values[hi_at]) hi_at = i;
  }
  if (n > 0) {
    out += "<p class=\"facts\">Newest <b>" + value_text(h.values[n - 1], tenths, l.unit) +
           "</b> at " + time_text(h.times[n - 1]) + " &middot; minimum <b>" +
           value_text(h.values[lo_at], tenths, l.unit) + "</b> at " + time_text(h.times[lo_at]) +
           " &middot; maximum <b>" + value_text(h.values[hi_at], tenths, l.unit) + "</b> at " +
           time_text(h.times[hi_at]) + " &middot; " + std::to_string(n) + " samples</p>\n";
  }
  if (h.bad_rows > 0)
    out += "<p class=\"note\">" + std::to_string(h.bad_rows) + " unreadable rows left out.</p>\n";

  const std::string w = std::to_string(kWidth), ht = std::to_string(kHeight);
  out += "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" +
         ht + "\" viewBox=\"0 0 " + w + " " + ht + "\">\n";
  out += "<rect class=\"plot\" x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) +
         "\" width=\"" + std::to_string(kChartColumns) + "\" height=\"" +
         std::to_string(kPlotHeight) + "\"/>\n";
  if (n == 0) {
    out += "<text x=\"" + std::to_string(kLeft + kChartColumns / 2) + "\" y=\"" +
           std::to_string(kTop + kPlotHeight / 2) +
           "\" text-anchor=\"middle\">No samples yet</text>\n</svg>\n</section>\n";
    return;
  }
  const int64_t lo = h.values[lo_at], hi = h.values[hi_at];
  const Scale scale{lo, hi};
  const std::string right = std::to_string(kLeft + kChartColumns);
  const std::string label_x = std::to_string(kLeft - 6);
  out += "<text x=\"" + label_x + "\" y=\"" + std::to_string(scale.y(hi) + 4) +
         "\" text-anchor=\"end\">" + value_text(hi, tenths, l.unit) + "</text>\n";
  if (hi != lo)
    out += "<text x=\"" + label_x + "\" y=\"" + std::to_string(scale.y(lo) + 4) +
           "\" text-anchor=\"end\">" + value_text(lo, tenths, l.unit) + "</text>\n";
  const std::string base = std::to_string(kTop + kPlotHeight + 18);
  out += "<text x=\"" + std::to_string(kLeft) + "\" y=\"" + base + "\">" +
         time_text(h.times.front()) + "</text>\n";
  out += "<text x=\"" + right + "\" y=\"" + base + "\" text-anchor=\"end\">" +
         time_text(h.times.back()) + "</text>\n";
  put_line(out, h, lo, hi);
  out += "</svg>\n</section>\n";
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fff}"
    "h1{font-size:1.4em}h2{font-size:1.1em;margin:1.2em 0 .2em}"
    "p{margin:.2em 0}.note{color:#a33}"
    "svg.chart{display:block;font-size:11px;fill:#444}"
    "svg .plot{fill:#f6f8fb;stroke:#c8d0da}"
    "svg .line{fill:none;stroke:#1565c0;stroke-width:1.5;stroke-linejoin:round;"
    "stroke-linecap:round}";

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
          out += "&#xFFFD;";
        } else if (c >= 0xA0) {
          out += "&#" + std::to_string(c) + ";";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

int write_chart_page(const std::string& folder, const std::string& address,
                     const std::vector<sensor_label>& labels) {
  std::vector<History> histories;
  for (int port = 1; port <= kPorts; ++port) {
    for (int slot = 1; slot <= kSlots; ++slot) {
      History h;
      h.label.port = port;
      h.label.slot = slot;
      for (const sensor_label& l : labels) {
        if (l.port == port && l.slot == slot) {
          h.label = l;
          h.read_this_run = true;
        }
      }
      std::string path;
      if (h.read_this_run) {
        path = folder + history_name(address, port, slot, h.label.type);
        if (!file_exists(path)) continue;
      } else {
        // A history from an earlier run: its type is in its name.
        for (int type = 0; type < kSensorTypeCount && path.empty(); ++type) {
          const std::string candidate =
              folder + history_name(address, port, slot, static_cast<uint8_t>(type));
          if (*sensor_type_name(static_cast<uint8_t>(type)) != '\0' && file_exists(candidate)) {
            path = candidate;
            h.label.type = static_cast<uint8_t>(type);
          }
        }
        if (path.empty()) continue;
      }
      load(path, &h);
      histories.push_back(std::move(h));
    }
  }

  // Nothing to draw (say, a first run that read no sensor): no page.
  if (histories.empty()) {
    std::printf("No CSV history of %s to draw a page from.\n", address.c_str());
    return -1;
  }

  std::string system;
  for (const sensor_label& l : labels)
    if (system.empty()) system = l.system_name;
  const std::string title = std::string(kProductName) + " " + html_escape(address);
  std::string out;
  out.reserve(64 * 1024 + histories.size() * 16 * 1024);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
         (system.empty() ? "" : " &middot; " + html_escape(system)) + "</title>\n<style>" + kStyle +
         "</style>\n</head>\n<body>\n<h1>" + title +
         (system.empty() ? "" : " &middot; " + html_escape(system)) + "</h1>\n";
  out += "<p>Every sample of the CSV histories in this folder; times in UTC.</p>\n";
  for (const History& h : histories) put_section(out, h);
  out += "</body>\n</html>\n";

  const std::string path = folder + address + ".html";
  std::printf("Saving charts to %s ...\n", path.c_str());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::printf("Can't open file:%s to write data !\n", path.c_str());
    return -1;
  }
  bool failed = std::fwrite(out.data(), 1, out.size(), f) != out.size();
  failed = std::fflush(f) != 0 || failed;
  if (std::fclose(f) != 0) failed = true;
  if (failed) {
    std::printf("Error writing data to file:%s !\n", path.c_str());
    return -1;
  }
  return 0;
}
