// How one box's walk went, for the summary line, the pages, the textfile
// and the exit status.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "report/textfile.h"

using clock_type = std::chrono::steady_clock;

struct walk_summary {
  int status = 0;  // 0 saved, 1 ended early, 2 something not saved
  int sensors_saved = 0;
  long long samples_saved = 0;
  std::string outcome = "ok";  // a few words for the summary line
  std::string pushed;  // per store: "NAME: N samples sent", joined by ", "
  // The newest sample saved or already held, and its sensor's logging
  // interval in minutes: a box whose newest sample is older than two
  // intervals is behind.
  int64_t newest_sample = 0;
  int interval_minutes = 0;
  int64_t ended_at = 0;  // when the walk ended
  // The box's own clock at its last status reply; 0: it never answered.
  // A sensor is behind by this clock, not by ours.
  int64_t box_time = 0;
  // The sensors saved, with their newest samples: what the textfile and the
  // pages know of this run beside what the folder already held.
  std::vector<known_sensor> read;
};
