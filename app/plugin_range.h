// A threshold range as monitoring plugins write them: "10" (0..10),
// "10:" (10 and up), "~:10" (up to 10), "10:20", and "@10:20" to alert
// inside instead of outside. Ends are inclusive.
#pragma once

#include <string>

struct plugin_range {
  std::string text;  // as given, written back into the perfdata
  double start = 0, end = 0;
  bool start_infinite = false, end_infinite = false;
  bool inside = false;  // '@': alert when within start..end
};

// False when `text` is not a range (empty, not numbers, start above end).
bool parse_plugin_range(const std::string& text, plugin_range* out);

// Whether `value` calls for the alert the range stands for.
bool range_alerts(const plugin_range& r, double value);
