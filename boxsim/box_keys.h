// The keys of the box file, each named once: where it may stand, whether it
// may be given again in one section, and how its value is read and set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boxsim/box.h"

namespace boxfile {

// What a sensor section gives beyond the Sensor fields.
struct PendingSensor {
  std::vector<int32_t> samples;
  int32_t fill = 0;
  bool has_capacity = false, has_head = false, has_count = false;
};

// Where a key may stand.
enum class KeyPlace {
  kFault,   // in [box] or in a slot: the faults of that level
  kBox,     // in [box] only
  kSensor,  // in a slot that holds a sensor
  kError,   // in a slot that answers with an error byte
};

// What a key's value is set into; a key's setter uses only its place's part.
struct KeyTarget {
  Box* box = nullptr;                // kBox
  Faults* faults = nullptr;          // kFault
  Slot* slot = nullptr;              // kSensor, kError
  PendingSensor* pending = nullptr;  // kSensor
};

struct BoxKey {
  const char* name;
  KeyPlace place;
  bool repeatable;
  // Reads `value` into the target, or returns false with a message (without
  // a location).
  bool (*set)(const KeyTarget& target, const std::string& key, const std::string& value,
              std::string* error);
};

// The key named `name`, or nullptr.
const BoxKey* find_key(const std::string& name);

// Fills in what a sensor section left out and lays out its ring.
bool finish_sensor(Sensor* s, const PendingSensor& p, std::string* error);

}  // namespace boxfile
