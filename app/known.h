// What the folder knows of a box's sensors: this run's readings, the -n
// record's lines and the newest rows of the CSV histories, merged so that a
// sensor this run did not reach still has its newest saved sample.
#pragma once

#include <string>
#include <vector>

#include "report/textfile.h"

class collected;

// By port and slot. `read` are the sensors this run saved (their values
// known when samples came); `record` may be null (no -n).
std::vector<known_sensor> known_sensors(const std::string& folder, const std::string& address,
                                        const collected* record,
                                        const std::vector<known_sensor>& read);

// The newest sample over `sensors`, and its sensor's logging interval.
void newest_of(const std::vector<known_sensor>& sensors, int64_t* time, int* interval_minutes);
