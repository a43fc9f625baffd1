#include "boxsim/box_keys.h"

#include <cstdint>

#include "boxsim/box_generate.h"
#include "boxsim/box_values.h"
#include "device/messages.h"
#include "platform/udp.h"

namespace boxfile {
namespace {

constexpr long kMaxGain = 32767;  // a whole ring at most per download

using Value = const std::string&;

// Readers shared by several keys, by the field they set.

template <bool Faults::*F>
bool fault_flag(const KeyTarget& t, Value key, Value value, std::string* error) {
  return no_value(key, value, error) && (t.faults->*F = true);
}

template <int Faults::*F, long long kHigh>
bool fault_int(const KeyTarget& t, Value key, Value value, std::string* error) {
  long long v;
  if (!number_in(key, value, 0, kHigh, &v, error)) return false;
  t.faults->*F = static_cast<int>(v);
  return true;
}

template <uint8_t Sensor::*F>
bool sensor_u8(const KeyTarget& t, Value key, Value value, std::string* error) {
  long long v;
  if (!number_in(key, value, 0, 255, &v, error)) return false;
  t.slot->sensor.*F = static_cast<uint8_t>(v);
  return true;
}

template <int16_t Sensor::*F>
bool sensor_i16(const KeyTarget& t, Value key, Value value, std::string* error) {
  long long v;
  if (!number_in(key, value, INT16_MIN, INT16_MAX, &v, error)) return false;
  t.slot->sensor.*F = static_cast<int16_t>(v);
  return true;
}

// A ring field that, when left out, follows from the samples.
template <int16_t Sensor::*F, bool PendingSensor::*kGiven>
bool ring_i16(const KeyTarget& t, Value key, Value value, std::string* error) {
  t.pending->*kGiven = true;
  return sensor_i16<F>(t, key, value, error);
}

template <std::string Sensor::*F, int kMax>
bool sensor_text(const KeyTarget& t, Value key, Value value, std::string* error) {
  return text_value(key, value, kMax, &(t.slot->sensor.*F), error);
}

// Fault keys.

bool drop_request(const KeyTarget& t, Value key, Value value, std::string* error) {
  const std::vector<std::string> w = words(value);
  if (w.empty()) {
    *error = key + ": name at least one request number";
    return false;
  }
  long long v;
  for (const std::string& x : w) {
    if (!number_in(key, x, 1, kMaxSamples, &v, error)) return false;
    t.faults->drop_requests.push_back(static_cast<int>(v));
  }
  return true;
}

bool twice(const KeyTarget& t, Value key, Value value, std::string* error) {
  const std::vector<std::string> w = words(value);
  if (w.size() > 1) {
    *error = key + ": at most one value (the gap in ms)";
    return false;
  }
  long long v = 0;
  if (!w.empty() && !number_in(key, w[0], 0, 600000, &v, error)) return false;
  t.faults->twice_gap_ms = static_cast<int>(v);
  return true;
}

bool junk(const KeyTarget& t, Value, Value value, std::string* error) {
  static const struct {
    const char* name;
    uint32_t bit;
  } kinds[] = {
      {"length", kJunkLength},      {"port_byte", kJunkPortByte},   {"from_812", kJunkFrom812},
      {"from_addr", kJunkFromAddr}, {"count_over", kJunkCountOver}, {"count_zero", kJunkCountZero},
  };
  std::string list = value;
  for (char& c : list)
    if (c == ',') c = ' ';
  const std::vector<std::string> names = words(list);
  if (names.empty()) {
    *error = "junk: name at least one kind";
    return false;
  }
  for (const std::string& n : names) {
    bool found = false;
    for (const auto& k : kinds) {
      if (n == k.name) {
        t.faults->junk |= k.bit;
        found = true;
      }
    }
    if (!found) {
      std::string all;
      for (const auto& k : kinds) all += (all.empty() ? "" : ", ") + std::string(k.name);
      *error = "junk: unknown kind '" + n + "' (" + all + ")";
      return false;
    }
  }
  return true;
}

bool flood(const KeyTarget& t, Value key, Value value, std::string* error) {
  const std::vector<std::string> w = words(value);
  if (w.empty() || w.size() > 2) {
    *error = key + ": expected COUNT [INTERVAL_MS]";
    return false;
  }
  long long v;
  if (!number_in(key, w[0], 1, 10000, &v, error)) return false;
  t.faults->flood_count = static_cast<int>(v);
  if (w.size() == 2) {
    if (!number_in(key, w[1], 1, 60000, &v, error)) return false;
    t.faults->flood_interval_ms = static_cast<int>(v);
  }
  return true;
}

bool reply_count(const KeyTarget& t, Value key, Value value, std::string* error) {
  ReplyCount rc;
  long long v;
  if (value == "asked") {
    rc.kind = ReplyCount::kAsked;
  } else if (value == "over") {
    rc.kind = ReplyCount::kOver;
  } else if (value == "zero") {
    rc.kind = ReplyCount::kZero;
  } else if (parse_number(value, &v) && v >= INT16_MIN && v <= INT16_MAX) {
    rc.kind = ReplyCount::kFixed;
    rc.fixed = static_cast<int16_t>(v);
  } else {
    *error =
        key + ": expected asked, over, zero or a number from -32768 to 32767, got '" + value + "'";
    return false;
  }
  t.faults->reply_count = rc;
  return true;
}

// Box keys.

bool box_system(const KeyTarget& t, Value key, Value value, std::string* error) {
  return text_value(key, value, kSystemNameSize, &t.box->system_name, error);
}

bool box_clock(const KeyTarget& t, Value key, Value value, std::string* error) {
  if (value == "now") {
    t.box->clock.reset();
    return true;
  }
  int32_t v = 0;
  if (!int32_bits(key, value, &v, error)) return false;
  t.box->clock = v;
  return true;
}

bool password(const KeyTarget& t, Value key, Value value, std::string* error) {
  std::string pw;
  if (!text_value(key, value, 1000, &pw, error)) return false;
  t.box->password = pw;
  return true;
}

bool absent(const KeyTarget& t, Value key, Value value, std::string* error) {
  if (value == "auto") {
    t.box->absent.reset();
    return true;
  }
  long long v;
  if (!number_in(key, value, 0, 255, &v, error)) return false;
  t.box->absent = static_cast<uint8_t>(v);
  return true;
}

bool junk_addr(const KeyTarget& t, Value, Value value, std::string* error) {
  uint32_t a = 0;
  if (!dotted_ipv4(value, &a)) {
    *error = "junk_addr: expected a dotted IPv4 address, got '" + value + "'";
    return false;
  }
  t.box->junk_addr = value;
  return true;
}

// Slot keys.

bool error_byte(const KeyTarget& t, Value key, Value value, std::string* error) {
  long long v;
  if (!number_in(key, value, 0, 255, &v, error)) return false;
  t.slot->kind = Slot::kError;
  t.slot->error = static_cast<uint8_t>(v);
  return true;
}

bool type(const KeyTarget& t, Value key, Value value, std::string* error) {
  for (int code = 0; code < kSensorTypeCount; ++code) {
    if (!value.empty() && value == sensor_type_names[code]) {
      t.slot->sensor.type = static_cast<uint8_t>(code);
      return true;
    }
  }
  long long v;
  if (!number_in(key, value, 0, 255, &v, error)) {
    *error += " or a type name such as temperature";
    return false;
  }
  t.slot->sensor.type = static_cast<uint8_t>(v);
  return true;
}

bool last_log_time(const KeyTarget& t, Value key, Value value, std::string* error) {
  if (value == "clock") {
    t.slot->sensor.last_log_time.reset();
    return true;
  }
  int32_t v;
  if (!int32_bits(key, value, &v, error)) return false;
  t.slot->sensor.last_log_time = v;
  return true;
}

bool fill(const KeyTarget& t, Value key, Value value, std::string* error) {
  return int32_bits(key, value, &t.pending->fill, error);
}

bool gain(const KeyTarget& t, Value key, Value value, std::string* error) {
  long long v;
  if (!number_in(key, value, 0, kMaxGain, &v, error)) return false;
  t.slot->sensor.gain = static_cast<int>(v);
  return true;
}

bool samples(const KeyTarget& t, Value key, Value value, std::string* error) {
  const std::vector<std::string> w = words(value);
  std::vector<int32_t>& out = t.pending->samples;
  if (w.empty()) {
    *error = "samples: list at least one value";
    return false;
  }
  if (static_cast<long>(out.size() + w.size()) > kMaxSamples) {
    *error = "samples: more than " + std::to_string(kMaxSamples) + " samples in one sensor";
    return false;
  }
  for (const std::string& x : w) {
    int32_t v;
    if (!int32_bits(key, x, &v, error)) return false;
    out.push_back(v);
  }
  return true;
}

bool generate(const KeyTarget& t, Value, Value value, std::string* error) {
  return generate_samples(words(value), &t.pending->samples, error);
}

constexpr KeyPlace kFault = KeyPlace::kFault, kBox = KeyPlace::kBox, kSensor = KeyPlace::kSensor;
constexpr bool kOnce = false, kAgain = true;

const BoxKey kKeys[] = {
    {"silent", kFault, kOnce, fault_flag<&Faults::silent>},
    {"old_firmware", kFault, kOnce, fault_flag<&Faults::old_firmware>},
    {"stale_copy", kFault, kOnce, fault_flag<&Faults::stale_copy>},
    {"drop_first", kFault, kOnce, fault_int<&Faults::drop_first, kMaxSamples>},
    {"drop_request", kFault, kAgain, drop_request},
    {"twice", kFault, kOnce, twice},
    {"late", kFault, kOnce, fault_int<&Faults::late_ms, 600000>},
    {"junk", kFault, kAgain, junk},
    {"flood", kFault, kOnce, flood},
    {"reply_count", kFault, kOnce, reply_count},

    {"system", kBox, kOnce, box_system},
    {"clock", kBox, kOnce, box_clock},
    {"password", kBox, kOnce, password},
    {"absent", kBox, kOnce, absent},
    {"junk_addr", kBox, kOnce, junk_addr},

    {"error", KeyPlace::kError, kOnce, error_byte},

    {"type", kSensor, kOnce, type},
    {"description", kSensor, kOnce, sensor_text<&Sensor::description, kDescriptionSize>},
    {"unit", kSensor, kOnce, sensor_text<&Sensor::unit, kUnitSize>},
    {"zone", kSensor, kOnce, sensor_u8<&Sensor::zone>},
    {"sample_size", kSensor, kOnce, sensor_u8<&Sensor::sample_size>},
    {"interval", kSensor, kOnce, sensor_u8<&Sensor::interval>},
    {"capacity", kSensor, kOnce, ring_i16<&Sensor::capacity, &PendingSensor::has_capacity>},
    {"head", kSensor, kOnce, ring_i16<&Sensor::head, &PendingSensor::has_head>},
    {"count", kSensor, kOnce, ring_i16<&Sensor::count, &PendingSensor::has_count>},
    {"inst_high", kSensor, kOnce, sensor_i16<&Sensor::inst_high>},
    {"inst_low", kSensor, kOnce, sensor_i16<&Sensor::inst_low>},
    {"avg_low", kSensor, kOnce, sensor_i16<&Sensor::avg_low>},
    {"avg_high", kSensor, kOnce, sensor_i16<&Sensor::avg_high>},
    {"last_log_time", kSensor, kOnce, last_log_time},
    {"fill", kSensor, kOnce, fill},
    {"gain", kSensor, kOnce, gain},
    {"samples", kSensor, kAgain, samples},
    {"generate", kSensor, kAgain, generate},
};

}  // namespace

const BoxKey* find_key(const std::string& name) {
  for (const BoxKey& k : kKeys)
    if (name == k.name) return &k;
  return nullptr;
}

bool finish_sensor(Sensor* s, const PendingSensor& p, std::string* error) {
  const long n = static_cast<long>(p.samples.size());
  if (!p.has_capacity) {
    if (n > INT16_MAX) {
      *error = "more than 32767 samples: give a capacity (the newest ones are kept)";
      return false;
    }
    s->capacity = static_cast<int16_t>(n > 0 ? n : 1);
  }
  const long cap = s->capacity > 0 ? s->capacity : 1;
  if (!p.has_head) s->head = static_cast<int16_t>(n % cap);
  if (!p.has_count) s->count = static_cast<int16_t>(n < cap ? n : cap);
  s->ring = lay_out_ring(p.samples, s->capacity, s->head, p.fill);
  return true;
}

}  // namespace boxfile
