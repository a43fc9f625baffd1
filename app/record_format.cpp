#include "app/record_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "platform/files.h"
#include "report/file_names.h"

namespace {

constexpr size_t kFields = 8;
constexpr size_t kMostMarks = 16;  // other than the report's
constexpr size_t kMaxLine = 1024;  // longer lines are not ours
constexpr char kReport[] = "report";

// A whole decimal number from lo to hi, nothing else in the word.
bool number(const std::string& word, long long lo, long long hi, long long* out) {
  if (word.empty() || word.size() > 19) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// A store's name: a lowercase letter, then lowercase letters, digits, '_'
// and '-'.
bool store_name_word(const std::string& name, size_t from) {
  const size_t n = name.size() - from;
  if (n == 0 || n > kMaxStoreName || name[from] < 'a' || name[from] > 'z') return false;
  for (size_t i = from; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  }
  return true;
}

// A file output's mark: a short lowercase name other than the report's; a
// store's: "store." and the store's name.
bool mark_name(const std::string& name) {
  if (name.compare(0, 6, "store.") == 0) return store_name_word(name, 6);
  if (name.empty() || name.size() > 15) return false;
  for (const char c : name)
    if (c < 'a' || c > 'z') return false;
  return name != kReport;
}

// "name=time".
bool mark_word(const std::string& word, std::string* name, int32_t* time) {
  const size_t eq = word.find('=');
  if (eq == std::string::npos || !mark_name(word.substr(0, eq))) return false;
  long long v;
  if (!number(word.substr(eq + 1), INT32_MIN, INT32_MAX, &v)) return false;
  *name = word.substr(0, eq);
  *time = static_cast<int32_t>(v);
  return true;
}

// A file name of the folder: no separators, nothing that leaves it.
bool file_word(const std::string& word) {
  return !word.empty() && word != "." && word != ".." &&
         word.find_first_of("/\\:") == std::string::npos;
}

std::vector<std::string> words_of(const std::string& line, size_t most) {
  std::vector<std::string> words;
  size_t at = line.find_first_not_of(" \t");
  while (at != std::string::npos && words.size() < most) {
    const size_t end = line.find_first_of(" \t", at);
    words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    at = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
  }
  return words;
}

bool sensor_line(const std::vector<std::string>& w, record_key* key, record_sensor* rec) {
  long long port = 0, slot = 0, type = 0, size = 0, interval = 0, capacity = 0, newest = 0;
  if (w.size() < kFields || w.size() > kFields + kMostMarks || !number(w[1], 1, 8, &port) ||
      !number(w[2], 1, 2, &slot) || !number(w[3], 0, 255, &type) || !number(w[4], 1, 4, &size) ||
      size == 3 || !number(w[5], 0, 255, &interval) || !number(w[6], 1, 32767, &capacity) ||
      !number(w[7], INT32_MIN, INT32_MAX, &newest))
    return false;
  *rec = record_sensor{static_cast<int>(type),
                       static_cast<int>(size),
                       static_cast<int>(interval),
                       static_cast<int>(capacity),
                       {{kReport, static_cast<int32_t>(newest)}}};
  for (size_t i = kFields; i < w.size(); ++i) {
    std::string name;
    int32_t time;
    // A mark named twice cannot be trusted either.
    if (!mark_word(w[i], &name, &time) || !rec->marks.emplace(name, time).second) return false;
  }
  *key = record_key{w[0], static_cast<int>(port), static_cast<int>(slot)};
  return true;
}

}  // namespace

bool store_name_ok(const std::string& name) { return store_name_word(name, 0); }

int parse_record(const std::string& text, record_contents* out) {
  *out = record_contents{};
  int bad = 0;
  std::set<record_key> doubled;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    const std::vector<std::string> w = words_of(line, kFields + kMostMarks + 1);
    bool ok = line.size() <= kMaxLine;
    long long length = 0;
    if (ok && !w.empty() && w[0] == "file") {
      ok = w.size() == 3 && file_word(w[1]) && number(w[2], 0, INT64_MAX, &length) &&
           out->files.emplace(w[1], length).second;
    } else if (ok && !w.empty() && w[0] == "pending") {
      ok = w.size() == 3 && file_word(w[1]) && file_word(w[2]) &&
           out->pending.emplace(w[1], w[2]).second;
    } else {
      record_key key;
      record_sensor rec;
      ok = ok && sensor_line(w, &key, &rec);
      // Two records of one sensor: neither can be trusted.
      if (ok && !out->sensors.emplace(key, std::move(rec)).second) doubled.insert(key);
    }
    if (!ok) ++bad;
  }
  for (const record_key& key : doubled) {
    out->sensors.erase(key);
    ++bad;
  }
  return bad;
}

std::string format_record(const record_contents& c) {
  std::string text =
      "# address port slot type sample_size interval capacity newest_sample_time\n";
  char buf[64];
  for (const auto& [k, rec] : c.sensors) {
    const auto report = rec.marks.find(kReport);
    if (report == rec.marks.end()) continue;  // the line's one required mark
    std::snprintf(buf, sizeof buf, " %d %d %d %d %d %d %ld", std::get<1>(k), std::get<2>(k),
                  rec.type, rec.sample_size, rec.interval, rec.capacity,
                  static_cast<long>(report->second));
    text += std::get<0>(k) + buf;
    for (const auto& [name, time] : rec.marks) {
      if (name == kReport) continue;
      std::snprintf(buf, sizeof buf, "=%ld", static_cast<long>(time));
      text += " " + name + buf;
    }
    text += '\n';
  }
  if (!c.files.empty()) text += "# file name committed_length\n";
  for (const auto& [name, length] : c.files) text += "file " + name + " " + std::to_string(length) + "\n";
  for (const auto& [temp, name] : c.pending) text += "pending " + temp + " " + name + "\n";
  return text;
}

bool durable_replace(const std::string& path, const std::string& text, int* err) {
  // Named per process: two runs sharing the folder never write one file.
  const std::string temp = temporary_name(path);
  return write_beside(temp, text, true, err) && put_in_place(temp, path, err);
}

bool write_beside(const std::string& temp, const std::string& text, bool sync, int* err) {
  file_step();
  errno = 0;
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    *err = errno;
    return false;
  }
  file_step();
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
  // On the disk before the rename: a power cut then leaves the old record
  // or the new one, never an empty file.
  if (sync) {
    file_step();
    ok = ok && file_sync(f);
  }
  *err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    *err = errno;
  }
  if (!ok) std::remove(temp.c_str());
  return ok;
}

bool put_in_place(const std::string& temp, const std::string& path, int* err) {
  if (file_replace(temp.c_str(), path.c_str())) {
    const size_t slash = path.find_last_of("/\\");
    folder_sync(slash == std::string::npos ? "" : path.substr(0, slash + 1).c_str());
    return true;
  }
  *err = errno;
  std::remove(temp.c_str());
  return false;
}
