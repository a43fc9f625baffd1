// The report writer: names each sensor's report file and writes it.
#pragma once

#include <cstdint>

#include "device/reading.h"

class getdata;
class message_sink;

// Set by -t: timestamps in the box's zone instead of UTC.
extern uint8_t use_local_time;

class datafile {
 public:
  datafile() = default;
  virtual ~datafile() = default;

  // flags: 2 = address prefix, 1 = time stamp. Returns the name's length, or
  // -1 when it does not fit in `size` bytes.
  int make_filename(char* buffer, int size, const reading& sensor, int flags);
  // append: non-zero adds to the file ("a+"), zero replaces it ("w+"). A
  // report that cannot be written whole leaves the file as it was. Returns 0,
  // or -1 with a message on `sink` (standard output and error when null).
  int write_data(const char* filename, const reading& sensor, int append,
                 message_sink* sink = nullptr);

  // The same, on the sensor the connection read last.
  int make_filename(char* buffer, int size, const getdata* conn, int flags);
  int write_data(const char* filename, const getdata* conn, int append,
                 message_sink* sink = nullptr);

  double average = 0;
};
