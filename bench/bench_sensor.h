// The sensor the report and history benchmarks write: 4-20 mA (tenths) or any
// type asked for, 32767 four-byte samples of both signs, in a zone with
// daylight saving, one sample a minute across several weeks. A finished
// download as the outputs read it: no connection behind it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "device/coding.h"
#include "device/messages.h"
#include "device/reading.h"

namespace bench {

constexpr int kSensorSamples = 32767;
constexpr char kSensorAddress[] = "127.0.8.1";

struct BenchSensor {
  SensorStatus s{};
  uint8_t slot = 0;
  std::vector<uint8_t> samples;

  explicit BenchSensor(uint8_t port = 0, uint8_t type = 2, uint8_t slot_index = 0)
      : slot(slot_index) {
    s.replyCode = kStatusReplyCode;
    s.port = port;
    s.sensorType = type;
    s.deviceTime = 1796685429;
    s.lastLogTime = 1796685000;
    s.logCount = s.logCapacity = kSensorSamples;
    s.sampleSize = 4;
    s.logInterval = 1;
    s.avgHigh = 168;
    s.avgLow = 71;
    s.instHigh = 199;
    s.instLow = -40;
    std::strcpy(s.description, "Chilled water flow");
    std::strcpy(s.systemName, "Bench box");
    std::strcpy(s.unit, "mA");
    s.timeZone = 35;
    samples.resize(static_cast<size_t>(kSensorSamples) * 4);
    uint32_t x = 2463534242u + port;
    for (int i = 0; i < kSensorSamples; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      coding::put_u32_le(&samples[static_cast<size_t>(i) * 4], x % 80001 - 40000);
    }
  }

  reading view() const {
    reading r;
    r.address = kSensorAddress;
    r.status = &s;
    r.slot = slot;
    r.samples = samples.data();
    r.sample_size = 4;
    r.count = kSensorSamples;
    return r;
  }
};

}  // namespace bench
