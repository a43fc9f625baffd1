#include "tests/e2e/expected_report.h"

#include <cstdio>

namespace {

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool tenths_type(int type) { return type == 2 || type == 5; }

std::string value_text(int64_t v, int type) {
  return tenths_type(type) ? tenths(v) : std::to_string(v);
}

}  // namespace

CivilTime utc_fields(int32_t t) {
  const int64_t days = floor_div(t, 86400);
  const int64_t secs = t - days * 86400;
  // Days since 1970-01-01 to year, month, day (civil calendar, era based).
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return CivilTime{year,
                   month,
                   day,
                   static_cast<int>(secs / 3600),
                   static_cast<int>(secs % 3600 / 60),
                   static_cast<int>(secs % 60)};
}

std::string tenths(int64_t v) {
  const int64_t m = v < 0 ? -v : v;
  return (v < 0 ? "-" : "") + std::to_string(m / 10) + "." + std::to_string(m % 10);
}

std::string average_text(const std::vector<int32_t>& samples, bool tenths_type) {
  const int64_t n = static_cast<int64_t>(samples.size());
  if (n == 0) return "0.0";
  int64_t sum = 0;
  for (int32_t v : samples) sum += v;
  // q = the average in tenths, rounded half away from zero: sum * 10 / n,
  // or sum / n for values already in tenths.
  const int64_t num = tenths_type ? sum : sum * 10;
  const int64_t mag = num < 0 ? -num : num;
  const int64_t q = (2 * mag + n) / (2 * n);
  return tenths(num < 0 ? -q : q);
}

std::string expected_utc_report(const ReportSensor& s) {
  char line[256];
  std::string r;
  r += "Data download from Vellorix.\n";
  r += "Vellorix address: " + s.address + "\n";
  r += "System name : " + s.system_name + "\n";
  r += "Sensor port : " + std::to_string(s.port) + "\n";
  r += "Sensor description : " + s.description + "\n";
  const CivilTime now = utc_fields(s.device_time);
  std::snprintf(line, sizeof line,
                "Current Vellorix time (UTC) Coordinated Universal Time : %02d/%02d/%lld "
                "%02d:%02d:%02d\n",
                now.day, now.month, static_cast<long long>(now.year), now.hour, now.minute,
                now.second);
  r += line;
  r += "Average high value : " + value_text(s.avg_high, s.type) + " " + s.unit + "\n";
  r += "Average low value : " + value_text(s.avg_low, s.type) + " " + s.unit + "\n";
  r += "Instantaneous high value : " + value_text(s.inst_high, s.type) + " " + s.unit + "\n";
  r += "Instantaneous low value : " + value_text(s.inst_low, s.type) + " " + s.unit + "\n";
  r += "Average value : " + average_text(s.samples, tenths_type(s.type)) + " " + s.unit + "\n";
  const int n = static_cast<int>(s.samples.size());
  const uint32_t step = static_cast<uint32_t>(s.interval) * 60u;
  uint32_t t = static_cast<uint32_t>(s.last_log_time) - static_cast<uint32_t>(n - 1) * step;
  for (int i = 0; i < n; ++i, t += step) {
    const CivilTime c = utc_fields(static_cast<int32_t>(t));
    std::snprintf(line, sizeof line, "%02d/%02d/%04lld %02d:%02d:%02d, ", c.month, c.day,
                  static_cast<long long>(c.year), c.hour, c.minute, c.second);
    r += line + value_text(s.samples[i], s.type) + "\n";
  }
  r += "\n";
  return r;
}

std::vector<int32_t> ramp(int n, int32_t start, int32_t step) {
  std::vector<int32_t> v;
  for (int k = 0; k < n; ++k) v.push_back(start + k * step);
  return v;
}

std::vector<int32_t> wave(int n, int mid, int amp, int period) {
  std::vector<int32_t> v;
  const int half = period / 2;
  for (int k = 0; k < n; ++k) {
    const int x = k % period;
    const int rise = x < half ? x : period - x;
    v.push_back(mid - amp + 2 * amp * rise / half);
  }
  return v;
}
