// The box file: a line-based text description of a simulated box (format in
// docs/boxsim.md). Errors read "NAME:LINE: message".
#pragma once

#include <string>

#include "boxsim/box.h"

// Parses the text of a box file; `name` is used in error messages. On
// failure returns false with *error set; *box is then unspecified.
bool parse_box(const std::string& text, const std::string& name, Box* box, std::string* error);

// Reads and parses the file at `path`.
bool load_box(const std::string& path, Box* box, std::string* error);

// Sets one fault by its key (as in the file: "drop_first", "junk", ...) and
// value text. Returns false with a message (without a location) when the key
// is not a fault key or the value is bad. *known tells which.
bool set_fault(Faults* faults, const std::string& key, const std::string& value, bool* known,
               std::string* error);
