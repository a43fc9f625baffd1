#include "report/csv_history.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/messages.h"
#include "platform/files.h"
#include "report/digits.h"
#include "report/sink.h"
#include "zonetime/civil.h"
#include "zonetime/zone_time.h"

namespace {

using civil::days_from_civil;
using civil::floor_div;

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

// "YYYY-MM-DDT" from a split time.
inline char* put_date(char* p, const struct tm& tm) {
  const unsigned year = static_cast<unsigned>(tm.tm_year + 1900);  // 1901..2038
  p = put2(p, year / 100);
  p = put2(p, year % 100);
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(tm.tm_mon + 1));
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(tm.tm_mday));
  *p++ = 'T';
  return p;
}

inline char* put_clock(char* p, unsigned secs) {
  p = put2(p, secs / 3600);
  *p++ = ':';
  p = put2(p, secs / 60 % 60);
  *p++ = ':';
  return put2(p, secs % 60);
}

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

// Collects the rows in large blocks, so the file sees few writes.
class Sink {
 public:
  static constexpr size_t kCapacity = 1 << 16;
  static constexpr size_t kMaxRow = 96;

  explicit Sink(std::FILE* f) : f_(f) {}
  char* reserve() {
    if (pos_ + kMaxRow > kCapacity) flush();
    return buf_ + pos_;
  }
  void commit(char* end) { pos_ = static_cast<size_t>(end - buf_); }
  void flush() {
    if (pos_ != 0 && std::fwrite(buf_, 1, pos_, f_) != pos_) {
      if (!failed_) error_ = errno;
      failed_ = true;
    }
    pos_ = 0;
  }
  bool failed() const { return failed_; }
  int error() const { return error_; }  // errno of the first failed write

 private:
  std::FILE* f_;
  size_t pos_ = 0;
  bool failed_ = false;
  int error_ = 0;
  char buf_[kCapacity];
};

// The UTC column: the date is formatted once per day.
class UtcColumn {
 public:
  char* put(char* p, int32_t t) {
    if (t < day_start_ || t >= day_start_ + kSecondsPerDay) {
      day_start_ = floor_div(t, kSecondsPerDay) * kSecondsPerDay;
      struct tm tm = {};
      split_time(t, &tm);
      put_date(date_, tm);
    }
    std::memcpy(p, date_, 11);
    p = put_clock(p + 11, static_cast<unsigned>(t - day_start_));
    *p++ = 'Z';
    return p;
  }

 private:
  int64_t day_start_ = INT64_MIN / 2;
  char date_[16] = {};
};

// The zone column. The engine is asked once per local day, and again where
// daylight saving starts or ends; in between, the offset it gave holds and
// the clock follows the UTC time.
class LocalColumn {
 public:
  LocalColumn(uint8_t zone, zone_engine& zones) : zone_(zone), zones_(zones) {}

  char* put(char* p, int32_t t) {
    if (t < from_ || t >= until_) refresh(t);
    std::memcpy(p, date_, 11);
    p = put_clock(p + 11, static_cast<unsigned>(t - midnight_));
    std::memcpy(p, offset_text_, 6);
    return p + 6;
  }

 private:
  void refresh(int32_t t) {
    const struct tm tm = *zones_.zone_convert(t, zone_);
    const int64_t offset = -int64_t{zones_.zone_bias} * 60;
    // The local value the engine split, wrapping in 32 bits as it does.
    const auto local =
        static_cast<int32_t>(static_cast<uint32_t>(t) + static_cast<uint32_t>(offset));
    const int64_t into_day = local - floor_div(local, kSecondsPerDay) * kSecondsPerDay;
    midnight_ = int64_t{t} - into_day;
    from_ = midnight_;
    until_ = midnight_ + kSecondsPerDay;
    // Daylight saving starts or ends at these instants; zero means none.
    const int32_t start = zones_.dst_start, end = zones_.dst_end;
    if (start != 0 && end != 0) {
      for (const int64_t edge : {int64_t{start}, int64_t{end}}) {
        if (edge > t && edge < until_) until_ = edge;
        if (edge <= t && edge > from_) from_ = edge;
      }
    }
    // Nor may the local value wrap within the span.
    if (offset > 0 && until_ > int64_t{INT32_MAX} - offset + 1)
      until_ = int64_t{INT32_MAX} - offset + 1;
    if (offset < 0 && from_ < int64_t{INT32_MIN} - offset) from_ = int64_t{INT32_MIN} - offset;

    put_date(date_, tm);
    const int64_t mag = offset < 0 ? -offset : offset;
    offset_text_[0] = offset < 0 ? '-' : '+';
    put2(offset_text_ + 1, static_cast<unsigned>(mag / 3600 % 100));
    offset_text_[3] = ':';
    put2(offset_text_ + 4, static_cast<unsigned>(mag / 60 % 60));
  }

  uint8_t zone_;
  zone_engine& zones_;
  int64_t from_ = 1, until_ = 0;  // [from_, until_): date_ and offset_text_ hold
  int64_t midnight_ = 0;          // UTC instant of the local day's start
  char date_[16] = {};
  char offset_text_[8] = {};
};

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

// The system's reason for a failure on `name`, on standard error.
void explain_error(message_sink& sink, const std::string& name, int error) {
  sink.explain("logfetch: %s: %s\n", name.c_str(), std::strerror(error != 0 ? error : EIO));
}

// Undoes rows that could not all be written: the file goes back to
// `old_size` bytes, or away when it was not there before (-1).
void cut_back(message_sink& sink, const std::string& name, long long old_size) {
  if (old_size < 0) {
    if (file_is_plain(name.c_str()) && std::remove(name.c_str()) != 0)
      explain_error(sink, name, errno);
    return;
  }
  // A device or pipe keeps no length to go back to.
  if (file_size(name.c_str()) > old_size && !file_truncate(name.c_str(), old_size))
    explain_error(sink, name, errno);
}

}  // namespace

std::string history_name(const std::string& address, int port, int slot, uint8_t type) {
  return address + "_p" + std::to_string(port) + "_s" + std::to_string(slot) + "_" +
         sensor_type_name(type) + ".csv";
}

char* put_iso_utc(char* p, int32_t t) { return UtcColumn().put(p, t); }

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
  if (found == Found::kTorn) {
    // Left by a write that stopped mid-row: the rows before it are sound.
    const long long size = file_size(path.c_str());
    if (!file_truncate(path.c_str(), c.keep)) {
      const int error = errno;
      console.say("Can't open file:%s to write data !\n", path.c_str());
      explain_error(console, path, error);
      return -1;
    }
    console.say("Cut the torn last row of %s back to its last whole row (%lld bytes dropped).\n",
                path.c_str(), size - c.keep);
  }
  const long long old_size = file_size(path.c_str());
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) {
    const int error = errno;
    console.say("Can't open file:%s to write data !\n", path.c_str());
    explain_error(console, path, error);
    return -1;
  }
  int error = std::fseek(f, 0, SEEK_END) != 0 ? errno : 0;
  const long size = error != 0 ? -1 : std::ftell(f);
  if (found == Found::kNone && size != 0) {
    // There all along, but could not be read: nothing to add to safely.
    std::fclose(f);
    console.say("File %s is not a CSV history, left untouched !\n", path.c_str());
    return -1;
  }
  console.say("Saving history to %s ...\n", path.c_str());

  Sink out(f);
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
    uint32_t t = static_cast<uint32_t>(st.lastLogTime) - static_cast<uint32_t>(r.count - 1) * step;
    bool have_last = c.has_row;
    int64_t last = c.last;
    UtcColumn utc;
    LocalColumn local(st.timeZone, zones_ != nullptr ? *zones_ : process_zones());
    for (int i = 0; i < r.count; ++i, t += step) {
      const auto ts = static_cast<int32_t>(t);
      // Never a sample at or before one already kept.
      if (have_last && ts <= last) continue;
      have_last = true;
      last = ts;
      char* p = utc.put(out.reserve(), ts);
      *p++ = ',';
      p = local.put(p, ts);
      *p++ = ',';
      p = put_history_value(p, r.get_value(i), tenths);
      *p++ = '\r';
      *p++ = '\n';
      out.commit(p);
    }
  }
  out.flush();
  if (error == 0 && out.failed()) error = out.error() != 0 ? out.error() : EIO;
  if (std::fflush(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (std::ferror(f) != 0 && error == 0) error = EIO;
  if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error == 0) {
    behind.written = true;
    return 0;
  }
  console.say("Error writing data to file:%s !\n", path.c_str());
  explain_error(console, path, error);
  cut_back(console, path, old_size);
  return -1;
}
