// One finished download of one sensor, as every output reads it: the status
// record and the samples, with no socket or connection behind them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/coding.h"
#include "device/messages.h"

struct reading {
  const char* address = "";              // the box address as the user typed it
  const SensorStatus* status = nullptr;  // the sensor's decoded status reply
  uint8_t slot = 0;                      // 0 or 1; the port is status->port
  const uint8_t* samples = nullptr;      // `count` samples, oldest first
  int count = 0;        // samples held; the newest was taken at status->lastLogTime
  int sample_size = 1;  // bytes per sample: 1, 2 or 4, signed little-endian

  // Sample `index` (0 = oldest) widened to 32 bits; 0 outside the samples.
  int32_t get_value(int index) const {
    if (samples == nullptr || index < 0 || index >= count) return 0;
    const uint8_t* p = samples + static_cast<size_t>(index) * sample_size;
    switch (sample_size) {
      case 2:
        return coding::get_i16_le(p);
      case 4:
        return coding::get_i32_le(p);
      default:
        return coding::get_i8(p);
    }
  }
};

class getdata;

// The sensor the connection read last; an empty reading (no status) for none.
reading reading_of(const getdata* conn);
