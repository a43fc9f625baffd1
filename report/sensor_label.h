// What a chart shows about a sensor besides its samples, kept from the
// readings of this run.
#pragma once

#include <cstdint>
#include <string>

struct sensor_label {
  int port = 0;  // 1..8
  int slot = 0;  // 1..2
  uint8_t type = 0;
  std::string description, system_name, unit;
  uint8_t zone = 0;  // the box's zone index
  // The newest sample of the reading, when it held any.
  bool has_newest = false;
  int32_t newest_time = 0;
  int32_t newest_value = 0;
  // Read this run, but its history could not be written: the page shows
  // what was read and says that the history is behind.
  bool history_behind = false;
};
