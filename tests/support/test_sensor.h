// Helpers for the report tests: a finished download filled by hand, a fresh
// temporary directory, file reading, a console kept as text, and a disk
// that fills.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/coding.h"
#include "device/messages.h"
#include "device/reading.h"
#include "report/output_context.h"
#include "report/sink.h"

namespace report_test {

// The context of a walk writing into `folder`, UTC unless `local`.
inline output_context in_folder(const std::string& folder, bool local = false) {
  output_context ctx;
  ctx.folder = folder;
  ctx.local_time = local;
  return ctx;
}

// Keeps a walk's console lines and reasons, in the order they came.
class capture_sink : public message_sink {
 public:
  bool good() const override { return true; }
  std::string text;

 protected:
  void write_out(const char* s, size_t n) override { text.append(s, n); }
  void write_err(const char* s, size_t n) override { text.append(s, n); }
};

// The sensor of the worked example: temperature, port 1, three samples.
inline SensorStatus example_status() {
  SensorStatus st{};
  st.replyCode = 4;
  st.port = 0;
  st.sensorType = 1;
  st.deviceTime = 1796685429;
  st.lastLogTime = 1796685000;
  st.logCount = 3;
  st.sampleSize = 4;
  st.logInterval = 10;
  st.logCapacity = 100;
  st.avgHigh = 25;
  st.avgLow = 19;
  st.instHigh = 27;
  st.instLow = 18;
  std::strcpy(st.systemName, "Server room");
  std::strcpy(st.description, "Rack inlet");
  std::strcpy(st.unit, "C");
  st.timeZone = 0;
  return st;
}

// What a finished download leaves: the status record, the address text and
// the samples (4 bytes each), seen through view() as the outputs see it.
struct sensor {
  SensorStatus status{};
  std::string address;
  std::vector<uint8_t> samples;

  reading view() const {
    reading r;
    r.address = address.c_str();
    r.status = &status;
    r.samples = samples.data();
    r.sample_size = 4;
    r.count = static_cast<int>(samples.size() / 4);
    return r;
  }
};

// Puts `st` and the samples into `s`, logCount set to their number unless
// keep_count.
inline void load(sensor& s, const SensorStatus& st, const std::vector<int32_t>& samples,
                 bool keep_count = false) {
  s.status = st;
  s.status.sampleSize = 4;
  if (!keep_count) s.status.logCount = static_cast<int16_t>(samples.size());
  s.samples.assign(samples.size() * 4, 0);
  for (size_t i = 0; i < samples.size(); ++i)
    coding::put_u32_le(&s.samples[i * 4], static_cast<uint32_t>(samples[i]));
  s.address = "192.168.0.10";
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// A new empty directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "report_test.XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// After a failed write: the file as it was (or still missing when there was
// none), and no other file, a temporary one say, left in `dir`.
inline void expect_left_as_it_was(const std::string& dir, const std::string& path, bool existed,
                                  const std::string& kept, const std::string& what) {
  if (existed) {
    EXPECT_EQ(read_file(path), kept) << what;
  } else {
    EXPECT_FALSE(std::filesystem::exists(path)) << what;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            existed ? 1 : 0)
      << what;
}

// While it lives, no file of this process grows past `bytes`: writes beyond
// fail with EFBIG as on a full disk, for any file and without privileges.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ok_ = getrlimit(RLIMIT_FSIZE, &old_) == 0;
    rlimit lower = old_;
    lower.rlim_cur = bytes;
    ok_ = ok_ && setrlimit(RLIMIT_FSIZE, &lower) == 0;
  }
  ~FileSizeLimit() {
    if (ok_) setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit old_ = {};
  bool ok_ = false;
  void (*old_handler_)(int) = SIG_DFL;
};

}  // namespace report_test
