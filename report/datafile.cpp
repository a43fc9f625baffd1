#include "report/datafile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "device/coding.h"
#include "device/messages.h"
#include "report/backward_lines.h"
#include "report/digits.h"
#include "report/file_names.h"
#include "report/sink.h"
#include "report/text_file.h"
#include "zonetime/civil.h"
#include "zonetime/sample_clock.h"
#include "zonetime/zone_table.h"
#include "zonetime/zone_time.h"


namespace {

using decimal::digit_count;
using decimal::kTwoDigits;
using decimal::put2;
using decimal::put_uint;

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

// A text field of the status record: up to its first zero byte, never beyond
// its width.
inline size_t field_length(const char* s, size_t width) {
  const void* z = std::memchr(s, 0, width);
  return z ? static_cast<size_t>(static_cast<const char*>(z) - s) : width;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "put_u32 builds its digits in one word");

// 10^n for n = 0..9, and the decimal length of a 32-bit value from its bit
// length (1233 / 4096 is just above log10(2)); v | 1 has as many digits as
// v, and 0 gets its one digit.
constexpr uint32_t kPowersOfTen[10] = {1,      10,      100,      1000,      10000,
                                       100000, 1000000, 10000000, 100000000, 1000000000};
inline int decimal_length(uint32_t v) {
  v |= 1;
  const int bits = 32 - __builtin_clz(v);
  const int guess = bits * 1233 >> 12;
  return guess + (v >= kPowersOfTen[guess]);
}

// The eight decimal digits of v < 10^8, leading zeros included, as the
// bytes of one word, first digit lowest: the halves, quarters and digits are
// split in all lanes at once by multiplying with fixed-point reciprocals
// (exact for these ranges: 10486 / 2^20 for / 100 below 10^4, 103 / 2^10
// for / 10 below 100).
inline uint64_t eight_digits(uint32_t v) {
  uint64_t x = (v / 10000) | static_cast<uint64_t>(v % 10000) << 32;
  const uint64_t hundreds = (x * 10486 >> 20) & 0x0000007F0000007Full;
  x = (x - hundreds * 100) << 16 | hundreds;
  const uint64_t tens = (x * 103 >> 10) & 0x000F000F000F000Full;
  x = (x - tens * 10) << 8 | tens;
  return x | 0x3030303030303030ull;
}

// As put_uint, without a branch on the number of digits below 10^8: the
// leading zeros are shifted out of the eight digits and the word stored
// whole (the caller leaves room for eight bytes).
inline char* put_u32(char* p, uint32_t v) {
  if (v >= 100000000) return put_uint(p, v);
  const int n = decimal_length(v);
  const uint64_t digits = eight_digits(v) >> (8 * (8 - n));
  std::memcpy(p, &digits, 8);
  return p + n;
}

// A sample's value and the line end: plain, or as put_tenths writes it.
inline char* put_value(char* p, int32_t v, bool tenths) {
  const uint32_t mag = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  *p = '-';  // kept only for a negative value: signs come in no order
  p += v < 0;
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

void put_summary(text_file& out, const char* label, int16_t v, bool tenths, const char* unit,
                 size_t unit_len) {
  out.text(label);
  char* p = out.reserve();
  p = tenths ? put_tenths(p, v) : put_int(p, v, 0);
  *p++ = ' ';
  out.commit(p);
  out.text(unit, unit_len);
  out.text("\n", 1);
}

// Sample `index` of a log of Size-byte samples, widened to 32 bits.
template <int Size>
inline int32_t sample_at(const uint8_t* samples, int index) {
  const uint8_t* p = samples + static_cast<size_t>(index) * Size;
  if (Size == 4) return coding::get_i32_le(p);
  if (Size == 2) return coding::get_i16_le(p);
  return coding::get_i8(p);
}

template <int Size>
int64_t sum_samples(const uint8_t* samples, int n) {
  int64_t sum = 0;
  for (int i = 0; i < n; ++i) sum += sample_at<Size>(samples, i);
  return sum;
}

// The one sample line, "%02d/%02d/%04d %02d:%02d:%02d, " (month, day, year,
// hour, minute, second) and the value, for UTC and zone time alike: the
// clock hands over each sample's fields, and the date text is redone only
// when the date changes.
template <int Size, bool Tenths>
void put_samples(text_file& out, const uint8_t* samples, int n, sample_clock& clock) {
  constexpr size_t kDateRoom = 32;
  char date[kDateRoom] = {};
  size_t date_len = 0;
  for (int i = 0;;) {
    if (clock.date_changed) {
      char* d = put_int(date, clock.month, 2);
      *d++ = '/';
      d = put_int(d, clock.mday, 2);
      *d++ = '/';
      d = put_int(d, clock.year, 4);
      *d++ = ' ';
      date_len = static_cast<size_t>(d - date);
    }
    // A fixed-size copy is a couple of moves; only date_len bytes count.
    char* p = out.reserve();
    std::memcpy(p, date, kDateRoom);
    p += date_len;
    p = put2(p, static_cast<unsigned>(clock.hour));
    *p++ = ':';
    p = put2(p, static_cast<unsigned>(clock.min));
    *p++ = ':';
    p = put2(p, static_cast<unsigned>(clock.sec));
    *p++ = ',';
    *p++ = ' ';
    out.commit(put_value(p, sample_at<Size>(samples, i), Tenths));
    if (++i == n) break;
    clock.next();
  }
  clock.finish();
}

template <bool Tenths>
void put_samples(text_file& out, const reading& r, int n, sample_clock& clock) {
  switch (r.sample_size) {
    case 4:
      return put_samples<4, Tenths>(out, r.samples, n, clock);
    case 2:
      return put_samples<2, Tenths>(out, r.samples, n, clock);
    default:
      return put_samples<1, Tenths>(out, r.samples, n, clock);
  }
}

}  // namespace

bool datafile::local_time() const { return ctx_.local_time; }

zone_engine& datafile::zones() const {
  return ctx_.zones != nullptr ? *ctx_.zones : process_zones();
}

int datafile::make_filename(char* buffer, int size, const reading& sensor, int flags) {
  return report_name(buffer, size, sensor, flags, local_time() ? &zones() : nullptr);
}

int datafile::write_data(const char* filename, const reading& sensor, int append,
                         message_sink* sink) {
  if (sink == nullptr) sink = ctx_.sink;
  message_sink& console = sink != nullptr ? *sink : standard_sink();
  if (filename == nullptr) {
    console.say("No file name to write data to !\n");
    return -1;
  }
  if (sensor.status == nullptr) return -1;
  // In the context's folder; messages name the file as it is opened.
  std::string in_folder;
  if (!ctx_.folder.empty()) {
    in_folder = ctx_.folder + filename;
    filename = in_folder.c_str();
  }
  text_file out(block_, console);
  if (!out.open(filename, append ? text_file::mode::append : text_file::mode::replace,
                text_file::form::text))
    return -1;
  const SensorStatus& st = *sensor.status;
  // The samples the reading holds: all of the log, or only its newest ones,
  // never more than the status says the log has.
  const int n = sensor.samples == nullptr
                    ? 0
                    : std::max(0, std::min(sensor.count, static_cast<int>(st.logCount)));
  const bool tenths = is_tenths_type(st.sensorType);

  // Exact integer sum: line 11 is rounded from it, not from a double.
  int64_t sum = 0;
  switch (sensor.sample_size) {
    case 4:
      sum = sum_samples<4>(sensor.samples, n);
      break;
    case 2:
      sum = sum_samples<2>(sensor.samples, n);
      break;
    default:
      sum = sum_samples<1>(sensor.samples, n);
  }
  average = static_cast<double>(sum);
  if (n > 0) average /= n;

  console.say("Saving data to %s ...\n", filename);

  out.text("Data download from ");
  out.text(kProductName);
  out.text(".\n");
  out.text(kProductName);
  out.text(" address: ");
  out.text(sensor.address);
  out.text("\nSystem name : ");
  out.text(st.systemName, field_length(st.systemName, sizeof st.systemName));
  out.text("\nSensor port : ");
  out.commit(put_int(out.reserve(), st.port + 1, 0));
  out.text("\nSensor description : ");
  out.text(st.description, field_length(st.description, sizeof st.description));

  struct tm now = {};
  const char* zone_label;
  const bool zone_time = local_time();
  zone_engine& engine = zones();
  if (zone_time) {
    now = *engine.zone_convert(st.deviceTime, st.timeZone);
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
    sample_clock clock(static_cast<int32_t>(first), step, zone_time, st.timeZone, &engine);
    if (tenths) {
      put_samples<true>(out, sensor, n, clock);
    } else {
      put_samples<false>(out, sensor, n, clock);
    }
  }
  out.text("\n", 1);
  return out.finish() ? 0 : -1;
}

namespace {

// Fixed-width decimal digits; false on anything else.
bool report_digits(const std::string& s, size_t at, int n, int64_t* out) {
  int64_t v = 0;
  for (int i = 0; i < n; ++i) {
    const char c = s[at + static_cast<size_t>(i)];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// A sample line as put_samples writes it, "MM/DD/YYYY HH:MM:SS, VALUE": its
// fields into *out (tm_year is the full year, tm_mon 1..12).
bool parse_sample_line(std::string line, bool tenths, struct tm* out) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // text form on Windows
  constexpr size_t kStamp = 21;
  if (line.size() < kStamp + 1 || line[2] != '/' || line[5] != '/' || line[10] != ' ' ||
      line[13] != ':' || line[16] != ':' || line[19] != ',' || line[20] != ' ')
    return false;
  int64_t mo, d, y, h, mi, sec;
  if (!report_digits(line, 0, 2, &mo) || !report_digits(line, 3, 2, &d) ||
      !report_digits(line, 6, 4, &y) || !report_digits(line, 11, 2, &h) ||
      !report_digits(line, 14, 2, &mi) || !report_digits(line, 17, 2, &sec))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > civil::days_in_month(y, static_cast<int>(mo)) || h > 23 ||
      mi > 59 || sec > 59)
    return false;
  size_t p = kStamp + (line[kStamp] == '-');
  const size_t whole = p;
  while (p < line.size() && line[p] >= '0' && line[p] <= '9') ++p;
  if (p == whole || p - whole > 10) return false;
  if (tenths ? !(line.size() == p + 2 && line[p] == '.' && line[p + 1] >= '0' && line[p + 1] <= '9')
             : line.size() != p)
    return false;
  *out = tm{};
  out->tm_year = static_cast<int>(y);
  out->tm_mon = static_cast<int>(mo);
  out->tm_mday = static_cast<int>(d);
  out->tm_hour = static_cast<int>(h);
  out->tm_min = static_cast<int>(mi);
  out->tm_sec = static_cast<int>(sec);
  return true;
}

// The zone a report's heading line names ("Current BOX time ZONE : ..."),
// whose table index zone 0 (UTC) shares with plain UTC reports.
bool parse_heading_zone(const std::string& line, uint8_t* zone) {
  const std::string lead = std::string("Current ") + kProductName + " time ";
  if (line.compare(0, lead.size(), lead) != 0) return false;
  const size_t colon = line.find(" : ", lead.size());
  if (colon == std::string::npos) return false;
  const std::string label = line.substr(lead.size(), colon - lead.size());
  for (int i = 0; i < kZoneCount; ++i) {
    if (label != zone_names[i]) continue;
    *zone = static_cast<uint8_t>(i);
    return true;
  }
  return false;
}

}  // namespace

std::vector<int32_t> read_report_newest(const std::string& path, bool tenths) {
  std::vector<int32_t> times;
  backward_lines lines(path);
  std::string line;
  struct tm shown = {};
  bool found = false;
  uint8_t zone = 0;
  for (;;) {
    if (!lines.previous(&line)) return times;
    if (!found) {
      found = parse_sample_line(line, tenths, &shown);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (parse_heading_zone(line, &zone)) break;
  }
  const int64_t local = civil::days_from_civil(shown.tm_year, shown.tm_mon, shown.tm_mday) * 86400 +
                        shown.tm_hour * 3600 + shown.tm_min * 60 + shown.tm_sec;
  if (zone == 0) {
    if (local >= INT32_MIN && local <= INT32_MAX) times.push_back(static_cast<int32_t>(local));
    return times;
  }
  // The instants that print as that stamp, with daylight saving's hour
  // first: in the hour the clock goes back a stamp names two, and the
  // earlier one comes first, so a caller taking the first that fits may
  // write a few samples twice but never leaves one out.
  const TimeZoneEntry& entry = zone_entry(zone);
  std::vector<int32_t> biases;
  if (entry.dst != nullptr) biases.push_back(entry.bias - 60);
  biases.push_back(entry.bias);
  zone_engine engine;
  for (const int32_t bias : biases) {
    const int64_t t = local + int64_t{bias} * 60;
    if (t < INT32_MIN || t > INT32_MAX) continue;
    // Twice: the engine takes the year from its previous call's offset.
    engine.zone_convert(static_cast<int32_t>(t), zone);
    const struct tm* back = engine.zone_convert(static_cast<int32_t>(t), zone);
    if (back->tm_year + 1900 == shown.tm_year && back->tm_mon + 1 == shown.tm_mon &&
        back->tm_mday == shown.tm_mday && back->tm_hour == shown.tm_hour &&
        back->tm_min == shown.tm_min && back->tm_sec == shown.tm_sec)
      times.push_back(static_cast<int32_t>(t));
  }
  return times;
}
