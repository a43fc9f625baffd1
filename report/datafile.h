// The report writer: names each sensor's report file and writes it.
#pragma once

#include <cstdint>

#include "device/reading.h"

class getdata;

// Set by -t: timestamps in the box's zone instead of UTC.
extern uint8_t use_local_time;

class datafile {
 public:
  datafile() = default;
  virtual ~datafile() = default;

  // flags: 2 = address prefix, 1 = time stamp. Returns the name's length, or
  // -1 when it does not fit in `size` bytes.
  int make_filename(char* buffer, int size, const reading& sensor, int flags);
  // append: non-zero adds to the file ("a+"), zero empties it first ("w+").
  // Returns 0, or -1 with a message.
  int write_data(const char* filename, const reading& sensor, int append);

  // The same, on the sensor the connection read last.
  int make_filename(char* buffer, int size, const getdata* conn, int flags);
  int write_data(const char* filename, const getdata* conn, int append);

  double average = 0;
};
