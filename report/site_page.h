// The site page (-f with -w): index.html in the site file's folder, one row
// per box with how its last run went and a link to its chart page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct site_page_row {
  std::string name, address;
  std::string outcome;        // of its last run
  int64_t last_run = 0;       // when that run ended, UTC
  int64_t newest_sample = 0;  // 0: none known
  int interval_minutes = 0;   // of the sensor that logged it
  std::string page;           // link to its chart page, relative; "" for none
  // The least headroom of its sensors read in its last run (how long the
  // box keeps what an output or store still lacks); none when none was read.
  bool has_headroom = false;
  int64_t headroom_seconds = 0;
  bool lacking = false;  // that sensor's outputs lack samples
};

// A box is behind when its newest sample is older than two logging
// intervals at `now` (or it has none).
bool box_behind(const site_page_row& row, int64_t now);

// Writes `path`. Returns true, or false with a one-line message (and its
// reason on standard error) through `sink`.
class message_sink;
bool write_site_page(const std::string& path, const std::vector<site_page_row>& rows, int64_t now,
                     message_sink& sink);
