#include "report/file_names.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/messages.h"
#include "platform/files.h"
#include "zonetime/zone_time.h"

int report_name(char* buffer, int size, const reading& sensor, int flags, zone_engine* zones) {
  if (buffer == nullptr || size <= 0) return -1;
  std::memset(buffer, 0, static_cast<size_t>(size));
  if (sensor.status == nullptr) return -1;
  const SensorStatus& st = *sensor.status;

  // The prefix is cut to the buffer; one that does not leave room fails the
  // port test below.
  if (flags & 2) std::snprintf(buffer, static_cast<size_t>(size), "%s_", sensor.address);
  int len = static_cast<int>(std::strlen(buffer));

  char part[96];
  int n = std::snprintf(part, sizeof part, "p%d_%s", st.port + 1, sensor_type_name(st.sensorType));
  if (len + n >= size) return -1;
  std::memcpy(buffer + len, part, static_cast<size_t>(n));
  len += n;

  if (flags & 1) {
    struct tm tm = {};
    if (zones != nullptr) {
      tm = *zones->zone_convert(st.deviceTime, st.timeZone);
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

std::string report_file_name(const std::string& address, int port, uint8_t type) {
  return address + "_p" + std::to_string(port) + "_" + sensor_type_name(type) + ".txt";
}

std::string history_name(const std::string& address, int port, int slot, uint8_t type) {
  return address + "_p" + std::to_string(port) + "_s" + std::to_string(slot) + "_" +
         sensor_type_name(type) + ".csv";
}

std::string openmetrics_name(const std::string& address, int64_t start) {
  struct tm tm = {};
  split_time(static_cast<int32_t>(start), &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return address + "." + stamp + ".om";
}

std::string free_openmetrics_path(const std::string& folder, const std::string& address,
                                  int64_t start) {
  const std::string first = folder + openmetrics_name(address, start);
  std::string path = first;
  for (int n = 2; file_size(path.c_str()) >= 0 && n < 1000; ++n)
    path = first.substr(0, first.size() - 3) + "." + std::to_string(n) + ".om";
  return path;
}

std::string line_protocol_name(const std::string& address) { return address + ".lp"; }

std::string chart_page_name(const std::string& address) { return address + ".html"; }

std::string temporary_name(const std::string& name) {
  return name + "." + std::to_string(process_id()) + ".tmp";
}
