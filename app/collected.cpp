#include "app/collected.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/say.h"
#include "platform/files.h"

namespace {

constexpr int kFields = 8;
constexpr size_t kMaxLine = 512;  // longer lines are not ours

// A whole decimal number from lo to hi, nothing else in the word.
bool number(const std::string& word, long long lo, long long hi, long long* out) {
  if (word.empty() || word.size() > 12) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// The whole file into *text; a missing file is the empty text. False when it
// exists and cannot be read, or is far larger than any state file.
bool read_all(const std::string& path, std::string* text) {
  constexpr size_t kMaxSize = 4 << 20;
  text->clear();
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return errno == ENOENT;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= kMaxSize)
    text->append(buf, n);
  const bool ok = std::ferror(f) == 0 && text->size() <= kMaxSize;
  std::fclose(f);
  return ok;
}

// The blank-separated words of `line`, at most `most` of them.
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

}  // namespace

collected::collected(std::string path) : path_(std::move(path)) {}

void collected::load() {
  records_.clear();
  std::string text;
  if (!read_all(path_, &text)) {
    say("Can't read %s, all samples are downloaded.\n", path_.c_str());
    return;
  }
  int bad = 0;
  std::set<Key> doubled;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    const std::vector<std::string> w = words_of(line, kFields + 1);
    long long port, slot, type, size, interval, capacity, newest;
    const bool ok = line.size() <= kMaxLine && w.size() == kFields && number(w[1], 1, 8, &port) &&
                    number(w[2], 1, 2, &slot) && number(w[3], 0, 255, &type) &&
                    number(w[4], 1, 4, &size) && size != 3 && number(w[5], 0, 255, &interval) &&
                    number(w[6], 1, 32767, &capacity) &&
                    number(w[7], INT32_MIN, INT32_MAX, &newest);
    if (!ok) {
      ++bad;
      continue;
    }
    const Key key{w[0], static_cast<int>(port), static_cast<int>(slot)};
    const Record rec{static_cast<int>(type), static_cast<int>(size), static_cast<int>(interval),
                     static_cast<int>(capacity), static_cast<int32_t>(newest)};
    // Two records of one sensor: neither can be trusted.
    if (!records_.emplace(key, rec).second) doubled.insert(key);
  }
  for (const Key& key : doubled) {
    records_.erase(key);
    ++bad;
  }
  if (bad > 0)
    say("%d line(s) of %s not understood, their sensors are downloaded in full.\n", bad,
        path_.c_str());
}

int collected::plan(const std::string& address, int slot, const SensorStatus& st) {
  const Key key{address, st.port + 1, slot + 1};
  if (ignored_.count(address) != 0) {
    // The report is about to be emptied: should it not be written, the next
    // run must download everything again.
    if (records_.erase(key) != 0 && !save()) say("Can't save %s !\n", path_.c_str());
    return -1;
  }
  const auto found = records_.find(key);
  if (found == records_.end()) return -1;
  const Record& saved = found->second;

  const char* why = nullptr;
  int64_t fresh = 0;
  if (saved.type != st.sensorType || saved.sample_size != st.sampleSize ||
      saved.capacity != st.logCapacity) {
    why = "another sensor or datalog";
  } else if (saved.interval != st.logInterval) {
    why = "logging interval changed";
  } else if (st.logInterval == 0) {
    why = "logging interval is 0";
  } else {
    // Box times wrap at 32 bits; so does their difference.
    const int64_t since = static_cast<int32_t>(static_cast<uint32_t>(st.lastLogTime) -
                                               static_cast<uint32_t>(saved.newest));
    const int64_t step = static_cast<int64_t>(st.logInterval) * 60;
    fresh = since / step;
    if (since < 0) {
      why = "box clock set back";
    } else if (since % step != 0) {
      why = "newest sample off the logging interval";
    } else if (fresh > st.logCount) {
      why = "more new samples than the datalog holds";
    }
  }
  if (why != nullptr) {
    say("Sensor on port %d slot %d: %s, all samples are downloaded.\n", st.port + 1, slot + 1, why);
    return -1;
  }
  if (fresh == 0) say("Sensor on port %d slot %d has no new samples.\n", st.port + 1, slot + 1);
  return static_cast<int>(fresh);
}

bool collected::commit(const reading& r) {
  const SensorStatus& st = *r.status;
  records_[Key{r.address, st.port + 1, r.slot + 1}] =
      Record{st.sensorType, st.sampleSize, st.logInterval, st.logCapacity, st.lastLogTime};
  if (save()) return true;
  say("Can't save %s !\n", path_.c_str());
  return false;
}

bool collected::save() const {
  // Named per process: two runs sharing the folder never write one file.
  const std::string temp = path_ + "." + std::to_string(process_id()) + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "# address port slot type sample_size interval capacity newest_sample_time\n");
  for (const auto& entry : records_) {
    const Key& k = entry.first;
    const Record& rec = entry.second;
    std::fprintf(f, "%s %d %d %d %d %d %d %ld\n", std::get<0>(k).c_str(), std::get<1>(k),
                 std::get<2>(k), rec.type, rec.sample_size, rec.interval, rec.capacity,
                 static_cast<long>(rec.newest));
  }
  bool ok = std::fflush(f) == 0 && std::ferror(f) == 0;
  if (std::fclose(f) != 0) ok = false;
  if (ok && file_replace(temp.c_str(), path_.c_str())) return true;
  std::remove(temp.c_str());
  return false;
}
