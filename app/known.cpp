#include "app/known.h"

#include <map>
#include <utility>

#include "app/collected.h"
#include "device/messages.h"
#include "report/csv_history.h"
#include "report/file_names.h"

namespace {

constexpr int kPorts = 8, kSlots = 2;

struct merged {
  bool any = false;
  known_sensor k;
  // A value is kept only from a source that knew the newest time.
  void take(int32_t time, bool has_value, int64_t value) {
    if (!any || time > k.newest_time) {
      any = true;
      k.newest_time = time;
      k.has_value = has_value;
      k.newest_value = value;
    } else if (time == k.newest_time && has_value && !k.has_value) {
      k.has_value = true;
      k.newest_value = value;
    }
  }
};

}  // namespace

std::vector<known_sensor> known_sensors(const std::string& folder, const std::string& address,
                                        const collected* record,
                                        const std::vector<known_sensor>& read) {
  std::map<std::pair<int, int>, merged> by_place;
  std::map<std::pair<int, int>, bool> typed;  // the type is known from a reading or the record
  if (record != nullptr) {
    for (const record_line& line : record->lines_of(address)) {
      merged& m = by_place[{line.port, line.slot}];
      m.take(line.newest, false, 0);
      m.k.type = static_cast<uint8_t>(line.type);
      m.k.interval_minutes = line.interval;
      typed[{line.port, line.slot}] = true;
    }
  }
  for (const known_sensor& r : read) {
    merged& m = by_place[{r.port, r.slot}];
    if (m.any && m.k.type != r.type) m = merged{};  // another sensor now
    m.take(r.newest_time, r.has_value, r.newest_value);
    m.k.type = r.type;
    m.k.interval_minutes = r.interval_minutes;
    m.k.has_headroom = r.has_headroom;
    m.k.headroom_seconds = r.headroom_seconds;
    m.k.lacking = r.lacking;
    m.k.behind = r.behind;
    typed[{r.port, r.slot}] = true;
  }
  for (int port = 1; port <= kPorts; ++port) {
    for (int slot = 1; slot <= kSlots; ++slot) {
      const std::pair<int, int> place{port, slot};
      auto found = by_place.find(place);
      // A history left from earlier runs: its type is in its name.
      int first = 0, last = kSensorTypeCount - 1;
      if (typed.count(place) != 0) first = last = found->second.k.type;
      for (int type = first; type <= last; ++type) {
        const uint8_t code = static_cast<uint8_t>(type);
        if (typed.count(place) == 0 && *sensor_type_name(code) == '\0') continue;
        history_newest h;
        if (!read_history_newest(folder + history_name(address, port, slot, code),
                                 is_tenths_type(code), &h) ||
            h.time < INT32_MIN || h.time > INT32_MAX)
          continue;
        merged& m = by_place[place];
        m.take(static_cast<int32_t>(h.time), true, h.value);
        m.k.type = code;
        if (m.k.interval_minutes == 0) m.k.interval_minutes = static_cast<int>(h.step / 60);
        break;
      }
    }
  }
  std::vector<known_sensor> out;
  for (auto& [place, m] : by_place) {
    if (!m.any) continue;
    m.k.port = place.first;
    m.k.slot = place.second;
    out.push_back(m.k);
  }
  return out;
}

void newest_of(const std::vector<known_sensor>& sensors, int64_t* time, int* interval_minutes) {
  *time = 0;
  *interval_minutes = 0;
  for (const known_sensor& k : sensors) {
    if (*time == 0 || k.newest_time > *time) {
      *time = k.newest_time;
      *interval_minutes = k.interval_minutes;
    }
  }
}
