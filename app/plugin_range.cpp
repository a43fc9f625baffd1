#include "app/plugin_range.h"

#include <charconv>
#include <cmath>

namespace {

// A finite decimal number in the C locale, the whole of [first, last).
bool number(const char* first, const char* last, double* out) {
  if (first == last) return false;
  const std::from_chars_result r = std::from_chars(first, last, *out, std::chars_format::fixed);
  return r.ec == std::errc() && r.ptr == last && std::isfinite(*out);
}

}  // namespace

bool parse_plugin_range(const std::string& text, plugin_range* out) {
  plugin_range r;
  r.text = text;
  const char* p = text.data();
  const char* end = p + text.size();
  if (p != end && *p == '@') {
    r.inside = true;
    ++p;
  }
  if (p == end) return false;
  const char* colon = p;
  while (colon != end && *colon != ':') ++colon;
  if (colon == end) {  // "10": from 0
    if (!number(p, end, &r.end)) return false;
  } else {
    if (colon - p == 1 && *p == '~')
      r.start_infinite = true;
    else if (!number(p, colon, &r.start))  // "" before ':' is not allowed either
      return false;
    if (colon + 1 == end)
      r.end_infinite = true;
    else if (!number(colon + 1, end, &r.end))
      return false;
  }
  if (!r.start_infinite && !r.end_infinite && r.start > r.end) return false;
  *out = r;
  return true;
}

bool range_alerts(const plugin_range& r, double value) {
  const bool within =
      (r.start_infinite || value >= r.start) && (r.end_infinite || value <= r.end);
  return r.inside ? within : !within;
}
