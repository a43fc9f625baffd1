// What every output of one walk shares: where its files go, which clock its
// times are read on, and where its messages are said. One per walk, so that
// walks running at the same time share nothing mutable.
#pragma once

#include <string>

class message_sink;
class zone_engine;

struct output_context {
  zone_engine* zones = nullptr;  // the walk's own zone state
  bool local_time = false;       // -t: times in the box's zone instead of UTC
  message_sink* sink = nullptr;  // the walk's console
  std::string folder;            // "" for the current folder, else ending in '/'
  std::string box;               // the box's name for labels; its address when ""
};
