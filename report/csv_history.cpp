#include "report/csv_history.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/messages.h"
#include "platform/files.h"
#include "report/digits.h"
#include "report/sink.h"
#include "report/text_file.h"
#include "zonetime/civil.h"
#include "zonetime/sample_clock.h"
#include "zonetime/zone_time.h"

namespace {

using civil::days_from_civil;

constexpr int64_t kSecondsPerDay = 86400;
constexpr size_t kHeaderLength = sizeof kHistoryHeader - 1;
// Longest row the writer makes: 20 + 1 + 25 + 1 + 12 + 2 bytes; rows read
// back are looked for within this many bytes of the end.
constexpr size_t kTailRoom = 256;

using decimal::put2;
using decimal::put_uint;

// Values of up to four digits, which samples mostly have, take two lookups.
inline char* put_small(char* p, uint64_t v) {
  if (v >= 10000) return put_uint(p, v);
  if (v >= 100) {
    const unsigned high = static_cast<unsigned>(v / 100);
    if (high >= 10) {
      p = put2(p, high);
    } else {
      *p++ = static_cast<char>('0' + high);
    }
    return put2(p, static_cast<unsigned>(v % 100));
  }
  if (v >= 10) return put2(p, static_cast<unsigned>(v));
  *p = static_cast<char>('0' + v);
  return p + 1;
}

// "YYYY-MM-DDT", the year 1901..2038.
inline char* put_date(char* p, int year, int month, int mday) {
  p = put2(p, static_cast<unsigned>(year / 100));
  p = put2(p, static_cast<unsigned>(year % 100));
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(month));
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(mday));
  *p++ = 'T';
  return p;
}

// "HH:MM:SS".
inline char* put_clock(char* p, int hour, int min, int sec) {
  p = put2(p, static_cast<unsigned>(hour));
  *p++ = ':';
  p = put2(p, static_cast<unsigned>(min));
  *p++ = ':';
  return put2(p, static_cast<unsigned>(sec));
}

// A column's date, redone only when the clock's date changes.
struct column_date {
  char text[16] = {};
  const char* of(const sample_clock& clock) {
    if (clock.date_changed) put_date(text, clock.year, clock.month, clock.mday);
    return text;
  }
};

// The zone column's offset "+HH:MM" from UTC, redone only when it changes.
struct column_offset {
  int32_t bias = INT32_MIN;
  char text[8] = {};
  const char* of(const sample_clock& clock) {
    if (clock.bias != bias) {
      bias = clock.bias;
      const int64_t offset = -int64_t{bias} * 60;
      const int64_t mag = offset < 0 ? -offset : offset;
      text[0] = offset < 0 ? '-' : '+';
      put2(text + 1, static_cast<unsigned>(mag / 3600 % 100));
      text[3] = ':';
      put2(text + 4, static_cast<unsigned>(mag / 60 % 60));
    }
    return text;
  }
};

// Fixed-width decimal digits; false on anything else.
bool digits(const char* p, int n, int64_t* out) {
  int64_t v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return true;
}

// "YYYY-MM-DDTHH:MM:SS" at p (19 bytes), as seconds since 1970 of that
// calendar time.
bool parse_stamp(const char* p, int64_t* out) {
  int64_t y, mo, d, h, mi, s;
  if (!digits(p, 4, &y) || p[4] != '-' || !digits(p + 5, 2, &mo) || p[7] != '-' ||
      !digits(p + 8, 2, &d) || p[10] != 'T' || !digits(p + 11, 2, &h) || p[13] != ':' ||
      !digits(p + 14, 2, &mi) || p[16] != ':' || !digits(p + 17, 2, &s))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  *out = days_from_civil(y, mo, d) * kSecondsPerDay + h * 3600 + mi * 60 + s;
  return true;
}

// A text field of the status record: up to its first zero byte, never beyond
// its width.
std::string field_text(const char* s, size_t width) {
  const void* z = std::memchr(s, 0, width);
  return std::string(s, z ? static_cast<size_t>(static_cast<const char*>(z) - s) : width);
}

// What the file holds before this run's rows.
enum class Found { kNone, kHeader, kRows, kTorn, kForeign, kBadLastRow };

struct Contents {
  Found found = Found::kNone;
  int64_t last = 0;  // time of the last whole row, with kRows and kTorn
  bool has_row = false;
  long keep = 0;  // with kTorn: bytes up to the end of the last whole row
};

// Where the line ending at tail[end] starts: after the line end before it,
// or at 0.
size_t line_start(const char* tail, size_t end) {
  while (end > 0 && tail[end - 1] != '\n') --end;
  return end;
}

Contents inspect(std::FILE* f, bool tenths) {
  Contents c;
  if (std::fseek(f, 0, SEEK_END) != 0) return {Found::kForeign};
  const long size = std::ftell(f);
  if (size == 0) return c;
  if (size < 0 || static_cast<size_t>(size) < kHeaderLength + 2) return {Found::kForeign};
  char head[kHeaderLength + 2];
  if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(head, 1, sizeof head, f) != sizeof head)
    return {Found::kForeign};
  if (std::memcmp(head, kHistoryHeader, kHeaderLength) != 0 || head[kHeaderLength] != '\r' ||
      head[kHeaderLength + 1] != '\n')
    return {Found::kForeign};
  const size_t rows_bytes = static_cast<size_t>(size) - sizeof head;
  if (rows_bytes == 0) return {Found::kHeader};

  char tail[kTailRoom];
  const size_t n = rows_bytes < kTailRoom ? rows_bytes : kTailRoom;
  if (std::fseek(f, size - static_cast<long>(n), SEEK_SET) != 0 || std::fread(tail, 1, n, f) != n)
    return {Found::kBadLastRow};
  // A line starting at tail[0] is whole only when it starts right after the
  // header.
  const bool from_header = n == rows_bytes;
  int64_t value;
  size_t cut;  // where the torn last row starts
  if (n >= 2 && tail[n - 2] == '\r' && tail[n - 1] == '\n') {
    cut = line_start(tail, n - 2);
    if (cut == 0 && !from_header) return {Found::kBadLastRow};
    if (parse_history_row(tail + cut, tail + n - 2, tenths, &c.last, &value)) {
      c.found = Found::kRows;
      c.has_row = true;
      return c;
    }
  } else {
    cut = line_start(tail, n);
    if (cut == 0 && !from_header) return {Found::kBadLastRow};
  }
  // Only the last row may go: what comes before it must be whole.
  c.found = Found::kTorn;
  c.keep = size - static_cast<long>(n - cut);
  if (cut == 0) return c;
  if (cut < 2 || tail[cut - 2] != '\r') return {Found::kBadLastRow};
  const size_t start = line_start(tail, cut - 2);
  if (start == 0 && !from_header) return {Found::kBadLastRow};
  if (!parse_history_row(tail + start, tail + cut - 2, tenths, &c.last, &value))
    return {Found::kBadLastRow};
  c.has_row = true;
  return c;
}

// Left by a write that stopped mid-row: the rows before it are sound.
bool cut_torn_row(const std::string& path, long keep, message_sink& console) {
  const long long size = file_size(path.c_str());
  if (!cut_back_file(path, keep, console)) {
    console.say("Can't open file:%s to write data !\n", path.c_str());
    return false;
  }
  console.say("Cut the torn last row of %s back to its last whole row (%lld bytes dropped).\n",
              path.c_str(), size - keep);
  return true;
}

}  // namespace

bool read_history_newest(const std::string& path, bool tenths, history_newest* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char tail[2 * kTailRoom];
  size_t n = 0;
  long start = 0;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    start = size > static_cast<long>(sizeof tail) ? size - static_cast<long>(sizeof tail) : 0;
    if (size >= 0 && std::fseek(f, start, SEEK_SET) == 0) n = std::fread(tail, 1, sizeof tail, f);
  }
  std::fclose(f);
  // Whole rows end in CRLF; the first line of the tail may be cut, unless
  // the tail is the whole file (then it is the header).
  size_t end = n;
  while (end > 0 && !(end >= 2 && tail[end - 2] == '\r' && tail[end - 1] == '\n')) --end;
  int64_t times[2], values[2];
  int rows = 0;
  while (rows < 2 && end >= 2) {
    const size_t row = line_start(tail, end - 2);
    if (row == 0 && start != 0) break;
    if (!parse_history_row(tail + row, tail + end - 2, tenths, &times[rows], &values[rows])) break;
    ++rows;
    end = row;
  }
  if (rows == 0) return false;
  out->time = times[0];
  out->value = values[0];
  out->step = rows == 2 && times[0] > times[1] ? times[0] - times[1] : 0;
  return true;
}

char* put_iso_utc(char* p, int32_t t) {
  struct tm tm = {};
  split_time(t, &tm);
  p = put_date(p, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  p = put_clock(p, tm.tm_hour, tm.tm_min, tm.tm_sec);
  *p++ = 'Z';
  return p;
}

char* put_history_value(char* p, int64_t v, bool tenths) {
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  if (v < 0) *p++ = '-';
  if (!tenths) return put_small(p, mag);
  p = put_small(p, mag / 10);
  *p++ = '.';
  *p++ = static_cast<char>('0' + mag % 10);
  return p;
}

bool parse_history_row(const char* begin, const char* end, bool tenths, int64_t* time,
                       int64_t* value) {
  // Two stamps of fixed width, then the value.
  constexpr size_t kFixed = 20 + 1 + 25 + 1;
  if (end - begin < static_cast<ptrdiff_t>(kFixed) + 1) return false;
  int64_t local, hh, mm;
  if (!parse_stamp(begin, time) || begin[19] != 'Z' || begin[20] != ',') return false;
  const char* l = begin + 21;
  if (!parse_stamp(l, &local) || (l[19] != '+' && l[19] != '-') || !digits(l + 20, 2, &hh) ||
      l[22] != ':' || !digits(l + 23, 2, &mm) || l[25] != ',')
    return false;
  const char* p = begin + kFixed;
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* whole = p;
  int64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9' && p - whole < 12) v = v * 10 + (*p++ - '0');
  if (p == whole) return false;
  if (tenths) {
    if (end - p != 2 || p[0] != '.' || p[1] < '0' || p[1] > '9') return false;
    v = v * 10 + (p[1] - '0');
  } else if (p != end) {
    return false;
  }
  *value = negative ? -v : v;
  return true;
}

bool csv_history::mend(const reading& r) {
  if (r.status == nullptr) return false;
  const SensorStatus& st = *r.status;
  const std::string path =
      folder_ + history_name(r.address, st.port + 1, r.slot + 1, st.sensorType);
  Contents c;
  if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
    c = inspect(in, is_tenths_type(st.sensorType));
    std::fclose(in);
  }
  return c.found == Found::kTorn &&
         cut_torn_row(path, c.keep, sink_ != nullptr ? *sink_ : standard_sink());
}

int csv_history::save(const reading& r) {
  if (r.status == nullptr) return -1;
  const SensorStatus& st = *r.status;
  sensor_label label;
  label.port = st.port + 1;
  label.slot = r.slot + 1;
  label.type = st.sensorType;
  label.description = field_text(st.description, sizeof st.description);
  label.system_name = field_text(st.systemName, sizeof st.systemName);
  label.unit = field_text(st.unit, sizeof st.unit);
  label.zone = st.timeZone;
  if (r.count > 0) {
    label.has_newest = true;
    label.newest_time = st.lastLogTime;
    label.newest_value = r.get_value(r.count - 1);
  }
  sensors_.push_back(label);
  // Every way out but the written one leaves the page a note that this
  // history is behind what was read.
  struct behind_unless_written {
    sensor_label& label;
    bool written = false;
    ~behind_unless_written() {
      if (!written) label.history_behind = true;
    }
  } behind{sensors_.back()};

  const bool tenths = is_tenths_type(st.sensorType);
  const std::string name = history_name(r.address, label.port, label.slot, st.sensorType);
  const std::string path = folder_ + name;

  // Binary throughout: the rows end in CRLF on every platform, and a file
  // that exists is only ever added to, never emptied.
  Contents c;
  if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
    c = inspect(in, tenths);
    std::fclose(in);
  }
  const Found found = c.found;
  message_sink& console = sink_ != nullptr ? *sink_ : standard_sink();
  if (found == Found::kForeign) {
    console.say("File %s is not a CSV history, left untouched !\n", path.c_str());
    return -1;
  }
  if (found == Found::kBadLastRow) {
    console.say("Can't read the last row of %s, left untouched !\n", path.c_str());
    return -1;
  }
  if (found == Found::kTorn && !cut_torn_row(path, c.keep, console)) return -1;
  text_file out(block_, console);
  if (!out.open(path, text_file::mode::append, text_file::form::binary)) return -1;
  // A failure to find the end is the write's failure.
  const long long size_now = out.length();
  if (found == Found::kNone && size_now != 0) {
    // There all along, but could not be read: nothing to add to safely.
    out.abandon();
    console.say("File %s is not a CSV history, left untouched !\n", path.c_str());
    return -1;
  }
  console.say("Saving history to %s ...\n", path.c_str());

  if (found == Found::kNone) {
    char* p = out.reserve();
    std::memcpy(p, kHistoryHeader, kHeaderLength);
    p += kHeaderLength;
    *p++ = '\r';
    *p++ = '\n';
    out.commit(p);
  }
  if (r.count > 0) {
    // Signed 32-bit seconds, wrapping as the box's clock does.
    const uint32_t step = static_cast<uint32_t>(st.logInterval) * 60u;
    const uint32_t first =
        static_cast<uint32_t>(st.lastLogTime) - static_cast<uint32_t>(r.count - 1) * step;
    const auto time_of = [&](int i) {
      return static_cast<int32_t>(first + static_cast<uint32_t>(i) * step);
    };
    // Never a sample at or before one already kept.
    int i = 0;
    while (c.has_row && i < r.count && time_of(i) <= c.last) ++i;
    if (i < r.count) {
      // Both columns on the report lines' clock, from the first new sample.
      sample_clock utc(time_of(i), step, false, 0);
      sample_clock local(time_of(i), step, true, st.timeZone,
                         zones_ != nullptr ? zones_ : &process_zones());
      column_date utc_date, local_date;
      column_offset offset;
      int64_t last = INT64_MIN;
      for (;;) {
        // Dates follow every sample, written or not.
        const char* const utc_day = utc_date.of(utc);
        const char* const local_day = local_date.of(local);
        if (utc.time() > last) {
          last = utc.time();
          char* p = out.reserve();
          std::memcpy(p, utc_day, 11);
          p = put_clock(p + 11, utc.hour, utc.min, utc.sec);
          *p++ = 'Z';
          *p++ = ',';
          std::memcpy(p, local_day, 11);
          p = put_clock(p + 11, local.hour, local.min, local.sec);
          std::memcpy(p, offset.of(local), 6);
          p += 6;
          *p++ = ',';
          p = put_history_value(p, r.get_value(i), tenths);
          *p++ = '\r';
          *p++ = '\n';
          out.commit(p);
        }
        if (++i == r.count) break;
        utc.next();
        local.next();
      }
      local.finish();
    }
  }
  if (!out.finish()) return -1;
  behind.written = true;
  return 0;
}
