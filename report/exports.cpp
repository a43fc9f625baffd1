#include "report/exports.h"

#include <algorithm>
#include <cstring>

#include "device/messages.h"
#include "report/backward_lines.h"
#include "report/csv_history.h"
#include "report/digits.h"
#include "report/sink.h"
#include "report/text_file.h"

namespace {

using decimal::put_uint;

char* put_int(char* p, int64_t v) {
  if (v < 0) {
    *p++ = '-';
    return put_uint(p, 0 - static_cast<uint64_t>(v));
  }
  return put_uint(p, static_cast<uint64_t>(v));
}

std::string field_text(const char* s, size_t width) {
  const void* z = std::memchr(s, 0, width);
  return std::string(s, z ? static_cast<size_t>(static_cast<const char*>(z) - s) : width);
}

std::string family_of(uint8_t type) {
  const char* word = sensor_type_name(type);
  if (*word == '\0') return "logfetch_type_" + std::to_string(type);
  std::string name = "logfetch_";
  for (const char* c = word; *c != '\0'; ++c) name += (*c == '-') ? '_' : *c;
  return name;
}

std::string type_text(uint8_t type) {
  const char* word = sensor_type_name(type);
  return *word != '\0' ? std::string(word) : std::to_string(type);
}

// One label or tag pair of each kind. An empty label is no label to
// Prometheus, so it is left out.
void om_label(std::string* out, const char* key, const std::string& value) {
  if (value.empty()) return;
  if (out->size() > 1) *out += ',';
  *out += key;
  *out += "=\"";
  append_label_value(out, value.data(), value.size());
  *out += '"';
}

// The protocol has no empty tag value: such a tag is left out, as InfluxDB
// reads a missing tag.
void lp_tag(std::string* out, const char* key, const std::string& value) {
  if (value.empty()) return;
  *out += ',';
  *out += key;
  *out += '=';
  append_tag_value(out, value.data(), value.size());
}

}  // namespace

bool parse_export_formats(const char* text, unsigned* formats) {
  unsigned found = 0;
  const char* p = text;
  for (;;) {
    const char* comma = std::strchr(p, ',');
    const size_t n = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
    if (n == 11 && std::strncmp(p, "openmetrics", n) == 0) {
      found |= kExportOpenMetrics;
    } else if (n == 6 && std::strncmp(p, "influx", n) == 0) {
      found |= kExportInflux;
    } else {
      return false;
    }
    if (comma == nullptr) break;
    p = comma + 1;
  }
  *formats |= found;
  return true;
}

void append_label_value(std::string* out, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == '\\' || c == '"') {
      *out += '\\';
      *out += c;
    } else if (c == '\n') {
      *out += "\\n";
    } else {
      *out += c;
    }
  }
}

void append_tag_value(std::string* out, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == ',' || c == ' ' || c == '=') {
      *out += '\\';
      *out += c;
    } else if (c == '\n' || c == '\r') {
      *out += "\\ ";
    } else {
      *out += c;
    }
  }
}

void append_measurement(std::string* out, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == ',' || c == ' ') {
      *out += '\\';
      *out += c;
    } else if (c == '\n' || c == '\r') {
      *out += "\\ ";
    } else {
      *out += c;
    }
  }
}

char* put_export_value(char* p, int32_t v, bool tenths) { return put_history_value(p, v, tenths); }

char* put_nanoseconds(char* p, int64_t seconds) {
  if (seconds == 0) {
    *p++ = '0';
    return p;
  }
  p = put_int(p, seconds);
  std::memcpy(p, "000000000", 9);
  return p + 9;
}

export_name export_name_of(const reading& r, const std::string& box, const std::string& address) {
  const SensorStatus& st = *r.status;
  export_name n;
  n.family = family_of(st.sensorType);
  n.labels = {{"box", box.empty() ? address : box},
              {"address", address},
              {"system_name", field_text(st.systemName, sizeof st.systemName)},
              {"port", std::to_string(st.port + 1)},
              {"slot", std::to_string(r.slot + 1)},
              {"type", type_text(st.sensorType)},
              {"unit", field_text(st.unit, sizeof st.unit)}};
  return n;
}

run_exports::run_exports(std::string address, unsigned formats, int64_t run_start,
                         const output_context& ctx)
    : address_(std::move(address)),
      box_(ctx.box.empty() ? address_ : ctx.box),
      formats_(formats),
      run_start_(run_start),
      folder_(ctx.folder),
      sink_(ctx.sink != nullptr ? ctx.sink : &standard_sink()) {}

void run_exports::add(const reading& r) {
  if (formats_ == 0 || r.status == nullptr || r.samples == nullptr) return;
  const SensorStatus& st = *r.status;
  // The samples the report holds, as the report writer counts them.
  const int n = std::max(0, std::min(r.count, static_cast<int>(st.logCount)));
  if (n == 0) return;
  Series s;
  s.family = family_of(st.sensorType);
  const std::string system = field_text(st.systemName, sizeof st.systemName);
  const std::string unit = field_text(st.unit, sizeof st.unit);
  const std::string port = std::to_string(st.port + 1), slot = std::to_string(r.slot + 1);
  const std::string type = type_text(st.sensorType);
  s.labels = "{";
  om_label(&s.labels, "box", box_);
  om_label(&s.labels, "address", address_);
  om_label(&s.labels, "system_name", system);
  om_label(&s.labels, "port", port);
  om_label(&s.labels, "slot", slot);
  om_label(&s.labels, "type", type);
  om_label(&s.labels, "unit", unit);
  s.labels += '}';
  append_measurement(&s.tags, s.family.data(), s.family.size());
  lp_tag(&s.tags, "box", box_);
  lp_tag(&s.tags, "address", address_);
  lp_tag(&s.tags, "system_name", system);
  lp_tag(&s.tags, "port", port);
  lp_tag(&s.tags, "slot", slot);
  lp_tag(&s.tags, "type", type);
  lp_tag(&s.tags, "unit", unit);
  s.tenths = is_tenths_type(st.sensorType);
  // Signed 32-bit seconds, wrapping as the box's clock does.
  s.step = static_cast<uint32_t>(st.logInterval) * 60u;
  s.first = static_cast<int32_t>(static_cast<uint32_t>(st.lastLogTime) -
                                 static_cast<uint32_t>(n - 1) * s.step);
  s.count = n;
  s.values.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s.values[static_cast<size_t>(i)] = r.get_value(i);
  samples_ += n;
  series_.push_back(std::move(s));
}

int run_exports::finish() {
  // Nothing saved, nothing to tell: no empty file for a box not reached.
  if (series_.empty()) return failures_;
  if ((formats_ & kExportOpenMetrics) && !write_openmetrics()) ++failures_;
  if ((formats_ & kExportInflux) && !append_influx()) ++failures_;
  return failures_;
}

bool run_exports::write_openmetrics() {
  // A run that started in the same second as an earlier one must not
  // replace that run's file: its samples are not in this one.
  openmetrics_path_ = free_openmetrics_path(folder_, address_, run_start_);
  write_block block;
  text_file out(block, *sink_);
  if (hold_back_) {
    held_name_ = temporary_name(openmetrics_path_);
    if (!out.open(held_name_, text_file::mode::append, text_file::form::binary)) return false;
  } else if (!out.open(openmetrics_path_, text_file::mode::replace, text_file::form::binary)) {
    return false;
  }
  std::vector<bool> done(series_.size(), false);
  // Each family's samples together; within a series, time only increases.
  for (size_t i = 0; i < series_.size(); ++i) {
    if (done[i]) continue;
    const std::string& family = series_[i].family;
    out.text("# TYPE ");
    out.text(family);
    out.text(" gauge\n# HELP ");
    out.text(family);
    out.text(" Samples of the box's datalogs, in the unit the unit label names.\n");
    for (size_t j = i; j < series_.size(); ++j) {
      const Series& s = series_[j];
      if (done[j] || s.family != family) continue;
      done[j] = true;
      uint32_t t = static_cast<uint32_t>(s.first);
      bool have_last = false;
      int32_t last = 0;
      for (size_t k = 0; k < s.values.size(); ++k, t += s.step) {
        const auto ts = static_cast<int32_t>(t);
        if (have_last && ts <= last) continue;
        have_last = true;
        last = ts;
        out.text(s.family);
        out.text(s.labels);
        char* p = out.reserve();
        *p++ = ' ';
        p = put_export_value(p, s.values[k], s.tenths);
        *p++ = ' ';
        p = put_int(p, ts);
        *p++ = '\n';
        out.commit(p);
      }
    }
  }
  out.text("# EOF\n");
  return out.finish();
}

bool run_exports::append_influx() {
  // A failed append is cut back, so the next line never follows half a line.
  write_block block;
  text_file out(block, *sink_);
  if (!out.open(folder_ + line_protocol_name(address_), text_file::mode::append,
                text_file::form::binary))
    return false;
  for (const Series& s : series_) {
    uint32_t t = static_cast<uint32_t>(s.first);
    for (size_t k = 0; k < s.values.size(); ++k, t += s.step) {
      out.text(s.tags);
      char* p = out.reserve();
      std::memcpy(p, " value=", 7);
      p = put_export_value(p + 7, s.values[k], s.tenths);
      *p++ = ' ';
      p = put_nanoseconds(p, static_cast<int32_t>(t));
      *p++ = '\n';
      out.commit(p);
    }
  }
  return out.finish();
}

namespace {

// The end of the piece of a line-protocol line starting at `at`: the first
// of `stops` not escaped by a backslash, or the line's end.
size_t piece_end(const std::string& line, size_t at, const char* stops) {
  while (at < line.size() && std::strchr(stops, line[at]) == nullptr)
    at += line[at] == '\\' ? 2 : 1;
  return at < line.size() ? at : line.size();
}

// A line as append_influx writes it: "MEASUREMENT,TAG=V,... value=V NS". The
// measurement and the port and slot tags as written, and the time in seconds.
bool parse_line_protocol(const std::string& line, std::string* measurement, std::string* port,
                         std::string* slot, int64_t* seconds) {
  size_t at = piece_end(line, 0, ", ");
  measurement->assign(line, 0, at);
  port->clear();
  slot->clear();
  while (at < line.size() && line[at] == ',') {
    const size_t key = at + 1, eq = piece_end(line, key, ",= ");
    if (eq >= line.size() || line[eq] != '=') return false;
    at = piece_end(line, eq + 1, ", ");
    const std::string name = line.substr(key, eq - key);
    if (name == "port") *port = line.substr(eq + 1, at - eq - 1);
    if (name == "slot") *slot = line.substr(eq + 1, at - eq - 1);
  }
  if (at >= line.size() || line.compare(at, 7, " value=") != 0) return false;
  const size_t stamp = line.find(' ', at + 7);
  if (stamp == std::string::npos) return false;
  // put_nanoseconds: "0", or the seconds and nine zeros.
  const std::string ns = line.substr(stamp + 1);
  if (ns == "0") {
    *seconds = 0;
    return true;
  }
  const size_t digits_from = !ns.empty() && ns[0] == '-' ? 1 : 0;
  if (ns.size() < digits_from + 10 || ns.compare(ns.size() - 9, 9, "000000000") != 0) return false;
  int64_t v = 0;
  for (size_t i = digits_from; i + 9 < ns.size(); ++i) {
    if (ns[i] < '0' || ns[i] > '9' || v > INT64_C(1) << 40) return false;
    v = v * 10 + (ns[i] - '0');
  }
  *seconds = digits_from != 0 ? -v : v;
  return true;
}

}  // namespace

bool read_line_protocol_newest(const std::string& path, uint8_t type, int port, int slot,
                               int64_t* time) {
  std::string wanted;
  const std::string family = family_of(type);
  append_measurement(&wanted, family.data(), family.size());
  const std::string wanted_port = std::to_string(port), wanted_slot = std::to_string(slot);
  // A file holds every sensor of its box: the series' last line is found
  // however far back its last run left it.
  backward_lines lines(path);
  std::string line, measurement, at_port, at_slot;
  int64_t seconds = 0;
  while (lines.previous(&line)) {
    if (parse_line_protocol(line, &measurement, &at_port, &at_slot, &seconds) &&
        measurement == wanted && at_port == wanted_port && at_slot == wanted_slot) {
      *time = seconds;
      return true;
    }
  }
  return false;
}
