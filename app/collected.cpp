#include "app/collected.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "device/messages.h"
#include "platform/files.h"
#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/exports.h"
#include "report/file_names.h"
#include "report/sink.h"
#include "report/text_file.h"

namespace {

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

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The length of the file's whole lines: up to and with its last '\n', 0
// when it has none; -1 when it cannot be read.
long long whole_lines_length(const std::string& path, long long size) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  char buf[4096];
  long long end = size;
  while (end > 0) {
    const long long n = std::min<long long>(end, sizeof buf);
    if (std::fseek(f, static_cast<long>(end - n), SEEK_SET) != 0 ||
        std::fread(buf, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) {
      end = -1;
      break;
    }
    long long i = n;
    while (i > 0 && buf[i - 1] != '\n') --i;
    if (i > 0) {
      end = end - n + i;
      break;
    }
    end -= n;
  }
  std::fclose(f);
  return end;
}

// Whether a sample at `t` can be the newest one an output kept of a sensor
// logging every `interval` minutes whose mark is `mark`: on the interval's
// grid through the mark, and not after it.
bool fits_mark(int64_t t, int32_t mark, int interval) {
  if (interval <= 0 || t < INT32_MIN || t > INT32_MAX) return false;
  // Box times wrap at 32 bits; so does their difference.
  const int64_t before = static_cast<int32_t>(static_cast<uint32_t>(mark) -
                                              static_cast<uint32_t>(static_cast<int32_t>(t)));
  return before >= 0 && before % (int64_t{interval} * 60) == 0;
}

}  // namespace

reading newest_samples(const reading& r, int count) {
  if (count < 0 || count >= r.count) return r;
  reading tail = r;
  tail.samples = r.samples + static_cast<size_t>(r.count - count) * r.sample_size;
  tail.count = count;
  return tail;
}

collected::collected(std::string path) : path_(std::move(path)) {
  const size_t slash = path_.find_last_of("/\\");
  folder_ = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
}

bool collected::hold(message_sink& sink) {
  const std::string lock = path_ + ".lock";
  const int took = hold_.take(lock.c_str());
  if (took == 0) {
    sink.say("%s is in use by another run of logfetch: nothing is saved in its folder this time !\n",
             path_.c_str());
    return false;
  }
  held_ = took == 1;
  if (!held_) sink.explain("%s: %s\n", lock.c_str(), std::strerror(errno));
  return true;
}

void collected::load(message_sink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  contents_ = record_contents{};
  std::string text;
  int err = 0;
  readable_ = read_all(path_, &text, &err);
  if (!readable_) {
    sink.say("Can't read %s, all samples are downloaded.\n", path_.c_str());
    sink.explain("%s: %s\n", path_.c_str(), std::strerror(err));
    return;
  }
  const int bad = parse_record(text, &contents_);
  if (bad > 0)
    sink.say("%d line(s) of %s not understood, their sensors are downloaded in full.\n", bad,
             path_.c_str());
}

void collected::repair(message_sink& sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool caught_up = false;
  for (auto& [name, length] : contents_.files) {
    const std::string path = folder_ + name;
    // A link or a device put in a file's place keeps no length to judge.
    if (file_size(path.c_str()) >= 0 && !file_is_plain(path.c_str())) continue;
    const long long size = file_size(path.c_str());
    if (size > length) {
      if (cut_back_file(path, length, sink))
        sink.say("Cut %s back to its committed length (%lld bytes dropped).\n", path.c_str(),
                 size - length);
      continue;
    }
    if (size == length) continue;
    length = catch_up(name, size, length, sink);
    caught_up = true;
  }
  // A commit that named a file to rename into place, and stopped before.
  std::set<std::string> named;
  for (const auto& [temp, name] : contents_.pending) {
    named.insert(temp);
    const std::string from = folder_ + temp, to = folder_ + name;
    if (file_size(from.c_str()) >= 0 && file_replace(from.c_str(), to.c_str()))
      sink.say("Renamed %s to %s, as the last commit asked.\n", from.c_str(), to.c_str());
  }
  contents_.pending.clear();
  // OpenMetrics files of runs that never committed them: never to be read.
  const std::string record_name = path_.substr(folder_.size());
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(folder_.empty() ? "." : folder_, ec)) {
    const std::string name = entry.path().filename().string();
    if (!ends_with(name, ".tmp") || named.count(name)) continue;
    const std::string path = folder_ + name;
    // A record half written by a run killed before its rename; while held,
    // no other run is writing one.
    if (held_ && name.compare(0, record_name.size() + 1, record_name + ".") == 0) {
      if (file_is_plain(path.c_str())) std::remove(path.c_str());
      continue;
    }
    if (name.find(".om.") == std::string::npos) continue;
    if (file_is_plain(path.c_str()) && std::remove(path.c_str()) == 0)
      sink.say("Removed %s, written by a run that did not commit it.\n", path.c_str());
  }
  lock.unlock();
  // On the disk before anything is appended to a file caught up: a run
  // killed before its commit is then cut back to the whole lines kept, not
  // to the old length in the middle of what it wrote.
  if (caught_up) commit(box_commit{}, sink);
}

long long collected::catch_up(const std::string& name, long long size, long long length,
                              message_sink& sink) {
  const std::string path = folder_ + name;
  // A torn last line goes first, so the next append starts on a line of its own.
  long long kept = size < 0 ? 0 : size;
  bool readable = size > 0;
  if (readable) {
    const long long whole = whole_lines_length(path, size);
    if (whole < 0 || (whole < size && !cut_back_file(path, whole, sink)))
      readable = false;
    else
      kept = whole;
  }
  // Each output that writes there goes back to the newest whole sample of
  // its sensor that the file still holds; without one it takes the whole
  // datalog again.
  std::set<int32_t> times;
  bool all_found = true;
  for (auto& [key, rec] : contents_.sensors) {
    const std::string& address = std::get<0>(key);
    const int port = std::get<1>(key), slot = std::get<2>(key);
    const uint8_t type = static_cast<uint8_t>(rec.type);
    const bool tenths = is_tenths_type(type);
    const char* output = nullptr;
    std::vector<int64_t> found;  // the times the newest sample may have, earliest first
    if (name == history_name(address, port, slot, type)) {
      output = kHistoryMark;
      history_newest h;
      if (readable && read_history_newest(path, tenths, &h)) found.push_back(h.time);
    } else if (name == line_protocol_name(address)) {
      output = kInfluxMark;
      int64_t t = 0;
      if (readable && read_line_protocol_newest(path, type, port, slot, &t)) found.push_back(t);
    } else if (name == report_file_name(address, port, type)) {
      output = kReportMark;
      if (readable)
        for (const int32_t t : read_report_newest(path, tenths)) found.push_back(t);
    } else {
      continue;
    }
    const auto mark = rec.marks.find(output);
    if (mark == rec.marks.end()) continue;  // it takes every sample as it is
    // A report's stamp in the hour its zone's clock goes back names two
    // instants: the earlier that fits is taken, so a few samples may come
    // twice and none is left out.
    bool moved = false;
    for (const int64_t t : found) {
      if (!fits_mark(t, mark->second, rec.interval)) continue;
      mark->second = static_cast<int32_t>(t);
      times.insert(mark->second);
      moved = true;
      break;
    }
    if (!moved) {
      lost_.insert({key, output});
      all_found = false;
    }
  }
  const long long lost = length - std::max(size, 0LL);
  // An output taking the whole datalog has only this run's memory to say
  // so: the record keeps the old length, so that the file is found shorter
  // again, should this run not write there.
  if (!all_found) kept = length;
  if (all_found && times.size() == 1) {
    char when[32];
    *put_iso_utc(when, *times.begin()) = '\0';
    sink.say(
        "%s is %lld bytes shorter than its committed length: its samples after %s are "
        "written again.\n",
        path.c_str(), lost, when);
  } else if (times.empty()) {
    sink.say(
        "%s is %lld bytes shorter than its committed length: its samples are written "
        "again.\n",
        path.c_str(), lost);
  } else {
    sink.say(
        "%s is %lld bytes shorter than its committed length: each sensor's samples after "
        "its newest whole one there%s are written again.\n",
        path.c_str(), lost, all_found ? "" : ", or all of them,");
  }
  return kept;
}

std::vector<record_line> collected::lines_of(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<record_line> lines;
  for (auto at = contents_.sensors.lower_bound(record_key{address, 0, 0});
       at != contents_.sensors.end() && std::get<0>(at->first) == address; ++at) {
    const auto report = at->second.marks.find(kReportMark);
    if (report == at->second.marks.end()) continue;
    lines.push_back({std::get<1>(at->first), std::get<2>(at->first), at->second.type,
                     at->second.interval, report->second});
  }
  return lines;
}

long long collected::committed_length(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = contents_.files.find(name);
  return found == contents_.files.end() ? -1 : found->second;
}

int64_t collected::since_mark(const record_sensor& saved, const SensorStatus& st, int32_t mark,
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
                    message_sink& sink, const std::vector<std::string>& also) {
  const record_key key{address, st.port + 1, slot + 1};
  std::unique_lock<std::mutex> lock(mutex_);
  if (ignored_.count(address) != 0) {
    // The report is about to be emptied: should it not be written, the next
    // run must download everything again.
    if (contents_.sensors.count(key) == 0) return -1;
    lock.unlock();
    box_commit c;
    c.forget.push_back(key);
    commit(c, sink);
    return -1;
  }
  const auto found = contents_.sensors.find(key);
  if (found == contents_.sensors.end()) return -1;
  int64_t most = 0;
  std::vector<std::string> outputs = used_;
  outputs.insert(outputs.end(), also.begin(), also.end());
  for (const std::string& output : outputs) {
    const auto mark = found->second.marks.find(output);
    if (mark == found->second.marks.end() || lost_.count({key, output}) != 0)
      return -1;  // that output starts now
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

int collected::lacking(const std::string& address, int slot, const SensorStatus& st,
                       const std::string& mark) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ignored_.count(address) != 0) return -1;
  }
  return lacking_now(address, slot, st, mark);
}

int collected::lacking_now(const std::string& address, int slot, const SensorStatus& st,
                           const std::string& mark) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const record_key key{address, st.port + 1, slot + 1};
  const auto found = contents_.sensors.find(key);
  if (found == contents_.sensors.end() || lost_.count({key, mark}) != 0) return -1;
  const auto time = found->second.marks.find(mark);
  if (time == found->second.marks.end()) return -1;
  const char* why = nullptr;
  return static_cast<int>(since_mark(found->second, st, time->second, &why));
}

void collected::apply(const box_commit& c) {
  for (const record_key& key : c.forget) contents_.sensors.erase(key);
  for (const std::string& name : c.forget_files) contents_.files.erase(name);
  for (const box_commit::move& m : c.moves) {
    const SensorStatus& st = m.status;
    const record_key key{m.address, st.port + 1, m.slot + 1};
    record_sensor updated{st.sensorType, st.sampleSize, st.logInterval, st.logCapacity, {}};
    const auto found = contents_.sensors.find(key);
    // Marks of another datalog say nothing about this one.
    if (found != contents_.sensors.end() && found->second.type == updated.type &&
        found->second.sample_size == updated.sample_size &&
        found->second.interval == updated.interval && found->second.capacity == updated.capacity)
      updated.marks = found->second.marks;
    for (const std::string& output : m.marks) {
      updated.marks[output] = st.lastLogTime;
      lost_.erase({key, output});
    }
    // An output without a report mark yet has no line to go on.
    if (updated.marks.count(kReportMark) != 0) contents_.sensors[key] = updated;
  }
  for (const auto& [name, length] : c.files) contents_.files[name] = length;
  for (const auto& [temp, name] : c.renames) contents_.pending[temp] = name;
}

bool collected::commit(const box_commit& c, message_sink& sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  waiter me{&c};
  queue_.push_back(&me);
  turn_.wait(lock, [&] { return me.done || !committing_; });
  if (!me.done) {
    // This walk writes the record for every box waiting now.
    committing_ = true;
    std::vector<waiter*> batch;
    batch.swap(queue_);
    const record_contents before = contents_;
    const auto lost_before = lost_;
    std::vector<std::string> files;
    for (const waiter* w : batch) {
      apply(*w->c);
      // A file claimed before its first write holds nothing to flush yet;
      // one found with bytes in it was there (no need to look again).
      for (const auto& f : w->c->files)
        if (f.second > 0 || file_size((folder_ + f.first).c_str()) >= 0) files.push_back(f.first);
      for (const auto& r : w->c->renames) files.push_back(r.first);
    }
    const std::string text = format_record(contents_);
    const bool whole = sync_whole_;
    lock.unlock();
    int err = 0;
    // With data to sync, the record's temporary file goes to the disk in
    // the same sync as the data.
    const bool with_data = !files.empty();
    const std::string temp = temporary_name(path_);
    bool ok = write_beside(temp, text, !with_data, &err);
    if (ok && with_data) {
      files.push_back(temp.substr(folder_.size()));
      ok = files_to_disk(folder_, files, whole);
      if (!ok) {
        err = errno != 0 ? errno : EIO;
        std::remove(temp.c_str());
      }
    }
    ok = ok && put_in_place(temp, path_, &err);
    if (ok) {
      bool renamed = false;
      for (const waiter* w : batch)
        for (const auto& [temp, name] : w->c->renames)
          renamed = file_replace((folder_ + temp).c_str(), (folder_ + name).c_str()) || renamed;
      if (renamed) folder_sync(folder_.c_str());
    }
    lock.lock();
    if (!ok) {
      contents_ = before;
      lost_ = lost_before;
    } else {
      // Renamed: the next record need not name them.
      for (const waiter* w : batch)
        for (const auto& r : w->c->renames) contents_.pending.erase(r.first);
    }
    for (waiter* w : batch) {
      w->done = true;
      w->ok = ok;
      w->err = err;
    }
    committing_ = false;
    turn_.notify_all();
  }
  lock.unlock();
  if (!me.ok) cannot_save(sink, me.err);
  return me.ok;
}

void collected::cannot_save(message_sink& sink, int err) const {
  sink.say("Can't save %s !\n", path_.c_str());
  sink.explain("%s: %s\n", path_.c_str(), std::strerror(err != 0 ? err : EIO));
}
