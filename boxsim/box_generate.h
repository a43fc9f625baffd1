// The box file's sample generators: `generate COUNT RULE ARGS...` appends
// COUNT samples made by a rule (const, ramp, wave, random).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boxfile {

// Samples of one sensor, listed and generated together.
constexpr long kMaxSamples = 1000000;

// `w` holds the words after the key. Appends to *out, or returns false with
// a message (without a location).
bool generate_samples(const std::vector<std::string>& w, std::vector<int32_t>* out,
                      std::string* error);

}  // namespace boxfile
