// The -m textfile, for a node exporter's textfile collector: the site's
// alerting surface. Every run says what is known, not only what it saved,
// so that a series never vanishes just when its alert should fire: each
// box's last run and last success, and each sensor's newest sample that the
// folder holds.
//
// Box series carry {box, address}; sensor series {box, address, port, slot,
// type}, labels a sensor keeps whether or not its box answered.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class message_sink;

// The newest sample known of one sensor.
struct known_sensor {
  int port = 0, slot = 0;  // from 1
  uint8_t type = 0;
  int32_t newest_time = 0;
  bool has_value = false;
  int64_t newest_value = 0;  // in tenths for the types logged in tenths
  int interval_minutes = 0;  // 0: not known
  // Read this run: how long until the box's ring overwrites the oldest sample
  // that the output furthest behind (`behind`, its mark) still lacks.
  bool has_headroom = false;
  int64_t headroom_seconds = 0;
  int lacking = 0;     // what that output lacks after this run
  std::string behind;  // "" when none lacks anything
};

// The headroom of a sensor whose furthest-behind output lacks `lacking` of
// its samples, by the box's own clock: (capacity - lacking) intervals from
// the newest sample, less what the box's clock is past it.
int64_t headroom_of(int capacity, int lacking, int interval_minutes, int64_t box_time,
                    int64_t newest_time);

struct box_outcome {
  std::string name, address;
  int status = 0;             // the exit status of its walk
  int64_t ended_at = 0;       // when its walk ended
  int64_t last_success = 0;   // when its last walk with status 0 ended; 0: never
  int sensors_saved = 0;
  long long samples_saved = 0;
  std::vector<known_sensor> sensors;
};

// What an earlier textfile at `path` says of each box's last success, by
// box name; empty when there is none or it cannot be read.
std::map<std::string, int64_t> read_last_successes(const std::string& path);

// Writes `path` through a temporary file and a rename. False, said on
// `sink` with its reason, when it could not be written.
bool write_textfile(const std::string& path, const std::vector<box_outcome>& boxes,
                    message_sink& sink);
