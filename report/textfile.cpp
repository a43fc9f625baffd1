#include "report/textfile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/messages.h"
#include "report/csv_history.h"
#include "report/exports.h"
#include "report/sink.h"
#include "report/text_file.h"

namespace {

constexpr char kLastSuccess[] = "logfetch_box_last_success_time_seconds";

void label(std::string* out, const char* key, const std::string& value) {
  if (value.empty()) return;
  *out += out->size() > 1 ? "," : "";
  *out += key;
  *out += "=\"";
  append_label_value(out, value.data(), value.size());
  *out += '"';
}

std::string box_labels(const box_outcome& b) {
  std::string s = "{";
  label(&s, "box", b.name.empty() ? b.address : b.name);
  label(&s, "address", b.address);
  return s;
}

std::string sensor_labels(const box_outcome& b, const known_sensor& k) {
  std::string s = box_labels(b);
  label(&s, "port", std::to_string(k.port));
  label(&s, "slot", std::to_string(k.slot));
  const char* word = sensor_type_name(k.type);
  label(&s, "type", *word != '\0' ? std::string(word) : std::to_string(k.type));
  return s + "}";
}

void family(text_file& out, const char* name, const char* help) {
  out.text("# HELP ");
  out.text(name);
  out.text(" ");
  out.text(help);
  out.text("\n# TYPE ");
  out.text(name);
  out.text(" gauge\n");
}

void row(text_file& out, const char* name, const std::string& labels, const std::string& value) {
  out.text(name);
  out.text(labels);
  out.text(" ");
  out.text(value);
  out.text("\n");
}

// The value of the box label in a line's label set, unescaped.
bool box_of(const std::string& line, std::string* box) {
  const size_t at = line.find("box=\"");
  if (at == std::string::npos) return false;
  box->clear();
  for (size_t i = at + 5; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') return true;
    if (c == '\\' && i + 1 < line.size()) {
      c = line[++i];
      if (c == 'n') c = '\n';
    }
    *box += c;
  }
  return false;
}

}  // namespace

int64_t headroom_of(int capacity, int lacking, int interval_minutes, int64_t box_time,
                    int64_t newest_time) {
  return static_cast<int64_t>(capacity - lacking) * interval_minutes * 60 -
         (box_time - newest_time);
}

std::map<std::string, int64_t> read_last_successes(const std::string& path) {
  std::map<std::string, int64_t> found;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return found;
  char buf[1024];
  const size_t kName = sizeof kLastSuccess - 1;
  while (std::fgets(buf, sizeof buf, f) != nullptr) {
    const std::string line(buf);
    if (line.compare(0, kName, kLastSuccess) != 0 || line.size() <= kName || line[kName] != '{')
      continue;
    const size_t space = line.rfind("} ");
    std::string box;
    if (space == std::string::npos || !box_of(line.substr(0, space), &box)) continue;
    char* end = nullptr;
    const long long v = std::strtoll(line.c_str() + space + 2, &end, 10);
    if (end != line.c_str() + space + 2 && v > 0) found[box] = v;
  }
  std::fclose(f);
  return found;
}

bool write_textfile(const std::string& path, const std::vector<box_outcome>& boxes,
                    message_sink& sink) {
  write_block block;
  text_file out(block, sink);
  if (!out.open(path, text_file::mode::replace, text_file::form::binary)) return false;
  auto per_box = [&](const char* name, const char* help, auto value_of) {
    family(out, name, help);
    for (const box_outcome& b : boxes) row(out, name, box_labels(b) + "}", value_of(b));
  };
  per_box("logfetch_run_end_time_seconds",
          "When the last run against the box ended, seconds since 1970 UTC.",
          [](const box_outcome& b) { return std::to_string(b.ended_at); });
  per_box("logfetch_run_exit_status", "The exit status of the last run against the box.",
          [](const box_outcome& b) { return std::to_string(b.status); });
  per_box(kLastSuccess,
          "When the last run against the box that saved everything ended, seconds since 1970 "
          "UTC; 0 for never.",
          [](const box_outcome& b) { return std::to_string(b.last_success); });
  per_box("logfetch_run_sensors_saved", "Sensors whose samples the last run saved.",
          [](const box_outcome& b) { return std::to_string(b.sensors_saved); });
  per_box("logfetch_run_samples_saved", "Samples the last run saved.",
          [](const box_outcome& b) { return std::to_string(b.samples_saved); });

  // Each sensor family once, with a row for every sensor known that has it.
  auto per_sensor = [&](const char* name, const char* help, auto has, auto value_of) {
    bool any = false;
    for (const box_outcome& b : boxes)
      for (const known_sensor& k : b.sensors) any = any || has(k);
    if (!any) return;
    family(out, name, help);
    for (const box_outcome& b : boxes)
      for (const known_sensor& k : b.sensors)
        if (has(k)) row(out, name, sensor_labels(b, k), value_of(k));
  };
  const auto always = [](const known_sensor&) { return true; };
  per_sensor("logfetch_sensor_last_sample_time_seconds",
             "When the newest sample saved was taken, seconds since 1970 UTC.", always,
             [](const known_sensor& k) { return std::to_string(k.newest_time); });
  per_sensor(
      "logfetch_sensor_last_sample_value",
      "The newest sample saved, in the unit the box gives the sensor.",
      [](const known_sensor& k) { return k.has_value; },
      [](const known_sensor& k) {
        char buf[32];
        return std::string(buf, put_history_value(buf, k.newest_value, is_tenths_type(k.type)));
      });
  per_sensor(
      "logfetch_sensor_logging_interval_seconds", "The sensor's logging interval in seconds.",
      [](const known_sensor& k) { return k.interval_minutes > 0; },
      [](const known_sensor& k) { return std::to_string(k.interval_minutes * 60LL); });
  per_sensor(
      "logfetch_sensor_headroom_seconds",
      "Seconds until the box overwrites the oldest sample an output or store still lacks, by "
      "the box's clock.",
      [](const known_sensor& k) { return k.has_headroom; },
      [](const known_sensor& k) { return std::to_string(k.headroom_seconds); });
  return out.finish();
}
