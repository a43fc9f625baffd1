// The names of the files a walk writes, from what the box tells of its
// sensors and from the run's start.
#pragma once

#include <cstdint>
#include <string>

#include "device/reading.h"

class zone_engine;

// A sensor's report: "ADDRESS_" (flags & 2), "pPORT_TYPE", with flags & 1
// the box's current time "_DD-MM-YY_HHMMSS" (in its zone on `zones`, UTC
// when null), then ".txt". Returns the name's length, or -1 when it does not
// fit in `size` bytes (the buffer then holds no usable name).
int report_name(char* buffer, int size, const reading& sensor, int flags, zone_engine* zones);

// The report name above with the address and without the time,
// "ADDRESS_pPORT_TYPE.txt", port counted from 1: the one -n runs append to.
std::string report_file_name(const std::string& address, int port, uint8_t type);

// A sensor's CSV history: "ADDRESS_pPORT_sSLOT_TYPE.csv"; port and slot
// counted from 1.
std::string history_name(const std::string& address, int port, int slot, uint8_t type);

// "ADDRESS.YYYYMMDDTHHMMSSZ.om" for a run that started at `start` (UTC).
std::string openmetrics_name(const std::string& address, int64_t start);
// The run's OpenMetrics file in `folder`: the name above, or, when a run of
// the same second left one, "ADDRESS.YYYYMMDDTHHMMSSZ.N.om" with the first
// N from 2 that is free.
std::string free_openmetrics_path(const std::string& folder, const std::string& address,
                                  int64_t start);
// The line-protocol file a box's samples are appended to: "ADDRESS.lp".
std::string line_protocol_name(const std::string& address);
// A box's chart page: "ADDRESS.html".
std::string chart_page_name(const std::string& address);

// Where a replacement of `name` is written first: "NAME.PID.tmp", so two
// runs sharing a folder never write one file.
std::string temporary_name(const std::string& name);
