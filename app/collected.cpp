#include "app/collected.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "app/say.h"
#include "platform/files.h"
#include "report/file_names.h"
#include "report/sink.h"

namespace {

constexpr int kFields = 8;
constexpr int kMostMarks = 16;    // other than the report's
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

// The whole file into *text; a missing file is the empty text. False, with
// the reason in *err, when it exists and cannot be read, or is far larger
// than any state file.
bool read_all(const std::string& path, std::string* text, int* err) {
  constexpr size_t kMaxSize = 4 << 20;
  text->clear();
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *err = errno;
    return errno == ENOENT;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= kMaxSize)
    text->append(buf, n);
  *err = std::ferror(f) != 0 ? errno : text->size() > kMaxSize ? EFBIG : 0;
  std::fclose(f);
  return *err == 0;
}

// "name=time": a short lowercase name other than the report's, and a time.
bool mark_word(const std::string& word, std::string* name, int32_t* time) {
  const size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0 || eq > 15) return false;
  for (size_t i = 0; i < eq; ++i)
    if (word[i] < 'a' || word[i] > 'z') return false;
  long long v;
  if (!number(word.substr(eq + 1), INT32_MIN, INT32_MAX, &v)) return false;
  *name = word.substr(0, eq);
  *time = static_cast<int32_t>(v);
  return *name != kReportMark;
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

reading newest_samples(const reading& r, int count) {
  if (count < 0 || count >= r.count) return r;
  reading tail = r;
  tail.samples = r.samples + static_cast<size_t>(r.count - count) * r.sample_size;
  tail.count = count;
  return tail;
}

collected::collected(std::string path) : path_(std::move(path)) {}

void collected::load(message_sink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
  std::string text;
  int err = 0;
  readable_ = read_all(path_, &text, &err);
  if (!readable_) {
    sink.say("Can't read %s, all samples are downloaded.\n", path_.c_str());
    sink.explain("%s: %s\n", path_.c_str(), std::strerror(err));
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
    const std::vector<std::string> w = words_of(line, kFields + kMostMarks + 1);
    long long port = 0, slot = 0, type = 0, size = 0, interval = 0, capacity = 0, newest = 0;
    bool ok = line.size() <= kMaxLine && w.size() >= kFields && w.size() <= kFields + kMostMarks &&
              number(w[1], 1, 8, &port) && number(w[2], 1, 2, &slot) &&
              number(w[3], 0, 255, &type) && number(w[4], 1, 4, &size) && size != 3 &&
              number(w[5], 0, 255, &interval) && number(w[6], 1, 32767, &capacity) &&
              number(w[7], INT32_MIN, INT32_MAX, &newest);
    Record rec{static_cast<int>(type),
               static_cast<int>(size),
               static_cast<int>(interval),
               static_cast<int>(capacity),
               {{kReportMark, static_cast<int32_t>(newest)}}};
    for (size_t i = kFields; ok && i < w.size(); ++i) {
      std::string name;
      int32_t time;
      // A mark named twice cannot be trusted either.
      ok = mark_word(w[i], &name, &time) && rec.marks.emplace(name, time).second;
    }
    if (!ok) {
      ++bad;
      continue;
    }
    const Key key{w[0], static_cast<int>(port), static_cast<int>(slot)};
    // Two records of one sensor: neither can be trusted.
    if (!records_.emplace(key, std::move(rec)).second) doubled.insert(key);
  }
  for (const Key& key : doubled) {
    records_.erase(key);
    ++bad;
  }
  if (bad > 0)
    sink.say("%d line(s) of %s not understood, their sensors are downloaded in full.\n", bad,
             path_.c_str());
}

int64_t collected::since_mark(const Record& saved, const SensorStatus& st, int32_t mark,
                              const char** why) {
  *why = nullptr;
  if (saved.type != st.sensorType || saved.sample_size != st.sampleSize ||
      saved.capacity != st.logCapacity) {
    *why = "another sensor or datalog";
  } else if (saved.interval != st.logInterval) {
    *why = "logging interval changed";
  } else if (st.logInterval == 0) {
    *why = "logging interval is 0";
  } else {
    // Box times wrap at 32 bits; so does their difference.
    const int64_t since =
        static_cast<int32_t>(static_cast<uint32_t>(st.lastLogTime) - static_cast<uint32_t>(mark));
    const int64_t step = static_cast<int64_t>(st.logInterval) * 60;
    const int64_t fresh = since / step;
    if (since < 0) {
      *why = "box clock set back";
    } else if (since % step != 0) {
      *why = "newest sample off the logging interval";
    } else if (fresh > st.logCount) {
      *why = "more new samples than the datalog holds";
    } else {
      return fresh;
    }
  }
  return -1;
}

int collected::plan(const std::string& address, int slot, const SensorStatus& st,
                    message_sink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Key key{address, st.port + 1, slot + 1};
  if (ignored_.count(address) != 0) {
    // The report is about to be emptied: should it not be written, the next
    // run must download everything again.
    if (records_.erase(key) != 0 && !save()) cannot_save(sink);
    return -1;
  }
  const auto found = records_.find(key);
  if (found == records_.end()) return -1;
  int64_t most = 0;
  for (const std::string& output : used_) {
    const auto mark = found->second.marks.find(output);
    if (mark == found->second.marks.end()) return -1;  // that output starts now
    const char* why = nullptr;
    const int64_t fresh = since_mark(found->second, st, mark->second, &why);
    if (why != nullptr) {
      sink.say("Sensor on port %d slot %d: %s, all samples are downloaded.\n", st.port + 1,
               slot + 1, why);
      return -1;
    }
    most = std::max(most, fresh);
  }
  if (most == 0) sink.say("Sensor on port %d slot %d has no new samples.\n", st.port + 1, slot + 1);
  return static_cast<int>(most);
}

std::vector<record_line> collected::lines_of(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<record_line> lines;
  for (auto at = records_.lower_bound(Key{address, 0, 0});
       at != records_.end() && std::get<0>(at->first) == address; ++at) {
    const auto report = at->second.marks.find(kReportMark);
    if (report == at->second.marks.end()) continue;
    lines.push_back({std::get<1>(at->first), std::get<2>(at->first), at->second.type,
                     at->second.interval, report->second});
  }
  return lines;
}

int collected::lacking(const std::string& address, int slot, const SensorStatus& st,
                       const std::string& mark) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ignored_.count(address) != 0) return -1;
  const auto found = records_.find(Key{address, st.port + 1, slot + 1});
  if (found == records_.end()) return -1;
  const auto time = found->second.marks.find(mark);
  if (time == found->second.marks.end()) return -1;
  const char* why = nullptr;
  return static_cast<int>(since_mark(found->second, st, time->second, &why));
}

void collected::move_marks(const reading& r, const std::vector<std::string>& written) {
  const SensorStatus& st = *r.status;
  const Key key{r.address, st.port + 1, r.slot + 1};
  Record updated{st.sensorType, st.sampleSize, st.logInterval, st.logCapacity, {}};
  const auto found = records_.find(key);
  // Marks of another datalog say nothing about this one.
  if (found != records_.end() && found->second.type == updated.type &&
      found->second.sample_size == updated.sample_size &&
      found->second.interval == updated.interval && found->second.capacity == updated.capacity)
    updated.marks = found->second.marks;
  for (const std::string& output : written) updated.marks[output] = st.lastLogTime;
  records_[key] = updated;
}

bool collected::commit(const reading& r, const std::vector<std::string>& written,
                       message_sink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto before = records_;
  move_marks(r, written);
  if (save()) return true;
  records_ = before;
  cannot_save(sink);
  return false;
}

bool collected::commit_all(const std::vector<reading>& rs, const std::string& mark,
                           message_sink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto before = records_;
  for (const reading& r : rs) {
    // An export without a report mark yet has no line to go on.
    const auto found = records_.find(Key{r.address, r.status->port + 1, r.slot + 1});
    if (found != records_.end()) move_marks(r, {mark});
  }
  if (save()) return true;
  records_ = before;
  cannot_save(sink);
  return false;
}

void collected::cannot_save(message_sink& sink) const {
  sink.say("Can't save %s !\n", path_.c_str());
  sink.explain("%s: %s\n", path_.c_str(), std::strerror(save_errno_));
}

bool collected::save() const {
  // Named per process: two runs sharing the folder never write one file.
  const std::string temp = temporary_name(path_);
  errno = 0;
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    save_errno_ = errno;
    return false;
  }
  std::fprintf(f, "# address port slot type sample_size interval capacity newest_sample_time\n");
  for (const auto& entry : records_) {
    const Key& k = entry.first;
    const Record& rec = entry.second;
    const auto report = rec.marks.find(kReportMark);
    if (report == rec.marks.end()) continue;  // the line's one required mark
    std::fprintf(f, "%s %d %d %d %d %d %d %ld", std::get<0>(k).c_str(), std::get<1>(k),
                 std::get<2>(k), rec.type, rec.sample_size, rec.interval, rec.capacity,
                 static_cast<long>(report->second));
    for (const auto& mark : rec.marks)
      if (mark.first != kReportMark)
        std::fprintf(f, " %s=%ld", mark.first.c_str(), static_cast<long>(mark.second));
    std::fputc('\n', f);
  }
  // On the disk before the rename: a power cut then leaves the old record
  // or the new one, never an empty file.
  bool ok = std::fflush(f) == 0 && std::ferror(f) == 0 && file_sync(f);
  save_errno_ = ok ? 0 : errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    save_errno_ = errno;
  }
  if (ok && file_replace(temp.c_str(), path_.c_str())) {
    const size_t slash = path_.find_last_of("/\\");
    folder_sync(slash == std::string::npos ? "" : path_.substr(0, slash + 1).c_str());
    return true;
  }
  if (ok) save_errno_ = errno;
  std::remove(temp.c_str());
  return false;
}
