#include "report/datafile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/getdata.h"
#include "device/messages.h"
#include "zonetime/zone_table.h"
#include "zonetime/zone_time.h"

uint8_t use_local_time = 0;

namespace {

constexpr int32_t kSecondsPerDay = 86400;

// "00" "01" ... "99": two digits per lookup.
struct TwoDigits {
  char d[200];
  constexpr TwoDigits() : d() {
    for (int i = 0; i < 100; ++i) {
      d[2 * i] = static_cast<char>('0' + i / 10);
      d[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr TwoDigits kTwoDigits;

inline char* put2(char* p, unsigned v) {
  std::memcpy(p, kTwoDigits.d + 2 * v, 2);
  return p + 2;
}

inline int digit_count(uint64_t v) {
  int n = 1;
  for (; v >= 10000; v /= 10000) n += 4;
  return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// Decimal digits of v, as "%llu" prints them, written back to front in place.
inline char* put_uint(char* p, uint64_t v) {
  char* const end = p + digit_count(v);
  char* b = end;
  while (v >= 100) {
    b -= 2;
    std::memcpy(b, kTwoDigits.d + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    std::memcpy(b - 2, kTwoDigits.d + 2 * v, 2);
  } else {
    b[-1] = static_cast<char>('0' + v);
  }
  return end;
}

inline uint64_t magnitude(int64_t v) {
  return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// As printf("%0*d", width, v): the sign first, then zeros up to width.
inline char* put_int(char* p, int64_t v, int width) {
  const uint64_t mag = magnitude(v);
  if (v < 0) {
    *p++ = '-';
    --width;
  }
  for (int n = digit_count(mag); n < width; ++n) *p++ = '0';
  return put_uint(p, mag);
}

// A count of tenths: whole part, point, one digit; negatives as "-" and the
// magnitude, so -5 reads -0.5 rather than 0.-5.
inline char* put_tenths(char* p, int64_t v) {
  const uint64_t mag = magnitude(v);
  if (v < 0) *p++ = '-';
  p = put_uint(p, mag / 10);
  *p++ = '.';
  *p++ = static_cast<char>('0' + mag % 10);
  return p;
}

// sum / divisor to one decimal, ties away from zero, otherwise what
// printf("%0.1f") prints for the exact quotient (including "-0.0").
// The C library rounds ties to even, so it cannot be used on a double here.
inline char* put_quotient(char* p, int64_t sum, int64_t divisor) {
  const uint64_t mag = magnitude(sum);
  const uint64_t d = static_cast<uint64_t>(divisor);
  const uint64_t tenths = (20 * mag + d) / (2 * d);
  if (sum < 0) *p++ = '-';
  p = put_uint(p, tenths / 10);
  *p++ = '.';
  *p++ = static_cast<char>('0' + tenths % 10);
  return p;
}

inline int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// A text field of the status record: up to its first zero byte, never beyond
// its width.
inline size_t field_length(const char* s, size_t width) {
  const void* z = std::memchr(s, 0, width);
  return z ? static_cast<size_t>(static_cast<const char*>(z) - s) : width;
}

// Collects the report in large blocks, so the file sees few writes.
class Sink {
 public:
  static constexpr size_t kCapacity = 1 << 16;
  static constexpr size_t kMaxLine = 128;  // longest formatted piece asked for at once

  explicit Sink(std::FILE* f) : f_(f) {}

  // Room for at most kMaxLine bytes; hand the end back to commit().
  char* reserve() {
    if (pos_ + kMaxLine > kCapacity) flush();
    return buf_ + pos_;
  }
  void commit(char* end) { pos_ = static_cast<size_t>(end - buf_); }

  void text(const char* s, size_t n) {
    if (pos_ + n > kCapacity) flush();
    if (n > kCapacity) {
      write(s, n);
      return;
    }
    std::memcpy(buf_ + pos_, s, n);
    pos_ += n;
  }
  void text(const char* s) { text(s, std::strlen(s)); }

  void flush() {
    write(buf_, pos_);
    pos_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  void write(const char* s, size_t n) {
    if (n != 0 && std::fwrite(s, 1, n, f_) != n) failed_ = true;
  }

  std::FILE* f_;
  size_t pos_ = 0;
  bool failed_ = false;
  char buf_[kCapacity];
};

// "%02d/%02d/%04d %02d:%02d:%02d, " with month, day, year, hour, minute, second.
inline char* put_sample_time(char* p, const struct tm& tm) {
  p = put_int(p, tm.tm_mon + 1, 2);
  *p++ = '/';
  p = put_int(p, tm.tm_mday, 2);
  *p++ = '/';
  p = put_int(p, tm.tm_year + 1900LL, 4);
  *p++ = ' ';
  p = put_int(p, tm.tm_hour, 2);
  *p++ = ':';
  p = put_int(p, tm.tm_min, 2);
  *p++ = ':';
  p = put_int(p, tm.tm_sec, 2);
  *p++ = ',';
  *p++ = ' ';
  return p;
}

// As put_uint, quicker for the values of up to four digits that samples
// mostly have.
inline char* put_u32(char* p, uint32_t v) {
  if (v < 100) {
    if (v >= 10) return put2(p, v);
    *p = static_cast<char>('0' + v);
    return p + 1;
  }
  if (v < 10000) {
    const uint32_t high = v / 100;
    if (high >= 10) {
      p = put2(p, high);
    } else {
      *p++ = static_cast<char>('0' + high);
    }
    return put2(p, v % 100);
  }
  return put_uint(p, v);
}

// A sample's value and the line end: plain, or as put_tenths writes it.
inline char* put_value(char* p, int32_t v, bool tenths) {
  const uint32_t mag = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  if (v < 0) *p++ = '-';
  if (tenths) {
    p = put_u32(p, mag / 10);
    *p++ = '.';
    *p++ = static_cast<char>('0' + mag % 10);
  } else {
    p = put_u32(p, mag);
  }
  *p++ = '\n';
  return p;
}

void put_summary(Sink& out, const char* label, int16_t v, bool tenths, const char* unit,
                 size_t unit_len) {
  out.text(label);
  char* p = out.reserve();
  p = tenths ? put_tenths(p, v) : put_int(p, v, 0);
  *p++ = ' ';
  out.commit(p);
  out.text(unit, unit_len);
  out.text("\n", 1);
}

constexpr size_t kDateRoom = 32;

// Sample lines in UTC. The date part depends only on the day number, so it is
// split and formatted once per day; the clock comes from the second of day.
void put_samples_utc(Sink& out, const getdata& conn, int n, uint32_t t, uint32_t step,
                     bool tenths) {
  // [day_start, day_end): the day whose date is in `date`; empty at first.
  int64_t day_start = 1, day_end = 0;
  char date[kDateRoom] = {};
  size_t date_len = 0;
  for (int i = 0; i < n; ++i, t += step) {
    const int32_t ts = static_cast<int32_t>(t);
    if (ts < day_start || ts >= day_end) {
      day_start = floor_div(ts, kSecondsPerDay) * kSecondsPerDay;
      day_end = day_start + kSecondsPerDay;
      struct tm tm = {};
      split_time(ts, &tm);
      char* d = put_int(date, tm.tm_mon + 1, 2);
      *d++ = '/';
      d = put_int(d, tm.tm_mday, 2);
      *d++ = '/';
      d = put_int(d, tm.tm_year + 1900LL, 4);
      *d++ = ' ';
      date_len = static_cast<size_t>(d - date);
    }
    const auto secs = static_cast<unsigned>(ts - day_start);
    // A fixed-size copy is a couple of moves; only date_len bytes count.
    char* p = out.reserve();
    std::memcpy(p, date, kDateRoom);
    p += date_len;
    p = put2(p, secs / 3600);
    *p++ = ':';
    p = put2(p, secs / 60 % 60);
    *p++ = ':';
    p = put2(p, secs % 60);
    *p++ = ',';
    *p++ = ' ';
    out.commit(put_value(p, conn.get_value(i), tenths));
  }
}

// Sample lines in the box's zone: one conversion per line, the engine keeps
// its own state from call to call.
void put_samples_local(Sink& out, const getdata& conn, int n, uint32_t t, uint32_t step,
                       bool tenths, uint8_t zone) {
  for (int i = 0; i < n; ++i, t += step) {
    const struct tm* tm = zone_convert(static_cast<int32_t>(t), zone);
    char* p = put_sample_time(out.reserve(), *tm);
    out.commit(put_value(p, conn.get_value(i), tenths));
  }
}

}  // namespace

int datafile::make_filename(char* buffer, int size, const getdata* conn, int flags) {
  if (buffer == nullptr || size <= 0) return -1;
  std::memset(buffer, 0, static_cast<size_t>(size));
  if (conn == nullptr || !conn->status) return -1;
  const SensorStatus& st = *conn->status;

  // The prefix is cut to the buffer; one that does not leave room fails the
  // port test below.
  if (flags & 2) std::snprintf(buffer, static_cast<size_t>(size), "%s_", conn->address.c_str());
  int len = static_cast<int>(std::strlen(buffer));

  char part[96];
  int n = std::snprintf(part, sizeof part, "p%d_%s", st.port + 1, sensor_type_name(st.sensorType));
  if (len + n >= size) return -1;
  std::memcpy(buffer + len, part, static_cast<size_t>(n));
  len += n;

  if (flags & 1) {
    struct tm tm = {};
    if (use_local_time) {
      tm = *zone_convert(st.deviceTime, st.timeZone);
    } else {
      split_time(st.deviceTime, &tm);
    }
    n = std::snprintf(part, sizeof part, "_%02d-%02d-%02d_%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1,
                      tm.tm_year - 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (len + n >= size) return -1;
    std::memcpy(buffer + len, part, static_cast<size_t>(n));
    len += n;
  }

  if (len + 4 >= size) return -1;
  std::memcpy(buffer + len, ".txt", 4);
  return len + 4;
}

int datafile::write_data(const char* filename, const getdata* conn, int append) {
  if (filename == nullptr) {
    std::printf("No file name to write data to !\n");
    return -1;
  }
  if (conn == nullptr || !conn->status) return -1;
  std::FILE* f = std::fopen(filename, append ? "a+" : "w+");
  if (f == nullptr) {
    std::printf("Can't open file:%s to write data !\n", filename);
    return -1;
  }
  const SensorStatus& st = *conn->status;
  // The samples held: the whole datalog, or only its newest part.
  const int n = std::min<int>(st.logCount, conn->view().count);
  const bool tenths = is_tenths_type(st.sensorType);

  // Exact integer sum: line 11 is rounded from it, not from a double.
  int64_t sum = 0;
  for (int i = 0; i < n; ++i) sum += conn->get_value(i);
  average = static_cast<double>(sum);
  if (n > 0) average /= n;

  std::printf("Saving data to %s ...\n", filename);

  Sink out(f);
  out.text("Data download from ");
  out.text(kProductName);
  out.text(".\n");
  out.text(kProductName);
  out.text(" address: ");
  out.text(conn->address.c_str());
  out.text("\nSystem name : ");
  out.text(st.systemName, field_length(st.systemName, sizeof st.systemName));
  out.text("\nSensor port : ");
  out.commit(put_int(out.reserve(), st.port + 1, 0));
  out.text("\nSensor description : ");
  out.text(st.description, field_length(st.description, sizeof st.description));

  struct tm now = {};
  const char* zone_label;
  if (use_local_time) {
    now = *zone_convert(st.deviceTime, st.timeZone);
    zone_label = zone_name(st.timeZone);
  } else {
    split_time(st.deviceTime, &now);
    zone_label = zone_name(0);
  }
  out.text("\nCurrent ");
  out.text(kProductName);
  out.text(" time ");
  out.text(zone_label);
  out.text(" : ");
  char* p = out.reserve();
  p = put_int(p, now.tm_mday, 2);
  *p++ = '/';
  p = put_int(p, now.tm_mon + 1, 2);
  *p++ = '/';
  p = put_int(p, now.tm_year + 1900LL, 0);
  *p++ = ' ';
  p = put_int(p, now.tm_hour, 2);
  *p++ = ':';
  p = put_int(p, now.tm_min, 2);
  *p++ = ':';
  p = put_int(p, now.tm_sec, 2);
  *p++ = '\n';
  out.commit(p);

  const size_t unit_len = field_length(st.unit, sizeof st.unit);
  put_summary(out, "Average high value : ", st.avgHigh, tenths, st.unit, unit_len);
  put_summary(out, "Average low value : ", st.avgLow, tenths, st.unit, unit_len);
  put_summary(out, "Instantaneous high value : ", st.instHigh, tenths, st.unit, unit_len);
  put_summary(out, "Instantaneous low value : ", st.instLow, tenths, st.unit, unit_len);

  out.text("Average value : ");
  p = out.reserve();
  p = n > 0 ? put_quotient(p, sum, tenths ? 10LL * n : n) : put_quotient(p, 0, 1);
  *p++ = ' ';
  out.commit(p);
  out.text(st.unit, unit_len);
  out.text("\n", 1);

  if (n > 0) {
    // Signed 32-bit seconds, wrapping as the box's clock does.
    const uint32_t step = static_cast<uint32_t>(st.logInterval) * 60u;
    const uint32_t first =
        static_cast<uint32_t>(st.lastLogTime) - static_cast<uint32_t>(n - 1) * step;
    if (use_local_time) {
      put_samples_local(out, *conn, n, first, step, tenths, st.timeZone);
    } else {
      put_samples_utc(out, *conn, n, first, step, tenths);
    }
  }
  out.text("\n", 1);
  out.flush();

  // Flushed before closing: not every C runtime reports a failed final
  // flush from fclose.
  bool failed = out.failed() || std::fflush(f) != 0 || std::ferror(f) != 0;
  if (std::fclose(f) != 0) failed = true;
  if (failed) {
    std::printf("Error writing data to file:%s !\n", filename);
    return -1;
  }
  return 0;
}
