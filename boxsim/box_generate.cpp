#include "boxsim/box_generate.h"

#include "boxsim/box_values.h"

namespace boxfile {

bool generate_samples(const std::vector<std::string>& w, std::vector<int32_t>* out,
                      std::string* error) {
  const char* usage =
      "generate: expected COUNT const V | ramp START STEP | wave MID AMPLITUDE PERIOD | "
      "random SEED LOW HIGH";
  if (w.size() < 2) {
    *error = usage;
    return false;
  }
  long long n;
  if (!number_in("generate", w[0], 1, kMaxSamples, &n, error)) return false;
  if (static_cast<long long>(out->size()) + n > kMaxSamples) {
    *error = "generate: more than " + std::to_string(kMaxSamples) + " samples in one sensor";
    return false;
  }
  const std::string& rule = w[1];
  std::vector<long long> a;
  for (size_t i = 2; i < w.size(); ++i) {
    long long v;
    if (!number_in("generate " + rule, w[i], INT32_MIN, UINT32_MAX, &v, error)) return false;
    a.push_back(v);
  }
  auto want = [&](size_t k) {
    if (a.size() != k) *error = usage;
    return a.size() == k;
  };
  auto push = [&](long long v) { out->push_back(static_cast<int32_t>(static_cast<uint32_t>(v))); };
  if (rule == "const") {
    if (!want(1)) return false;
    for (long long k = 0; k < n; ++k) push(a[0]);
  } else if (rule == "ramp") {
    if (!want(2)) return false;
    for (long long k = 0; k < n; ++k) push(a[0] + k * a[1]);
  } else if (rule == "wave") {
    // Triangle: from MID - AMPLITUDE up to MID + AMPLITUDE in PERIOD/2
    // samples and back down.
    if (!want(3)) return false;
    const long long mid = a[0], amp = a[1], period = a[2];
    if (period < 2) {
      *error = "generate wave: PERIOD must be 2 or more";
      return false;
    }
    const long long half = period / 2;
    for (long long k = 0; k < n; ++k) {
      const long long x = k % period;
      const long long rise = x < half ? x : period - x;
      push(mid - amp + (2 * amp * rise) / half);
    }
  } else if (rule == "random") {
    if (!want(3)) return false;
    const long long lo = a[1], hi = a[2];
    if (hi < lo) {
      *error = "generate random: HIGH below LOW";
      return false;
    }
    uint64_t s = static_cast<uint64_t>(a[0]);
    const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
    for (long long k = 0; k < n; ++k) {
      s = s * 6364136223846793005ull + 1442695040888963407ull;
      push(lo + static_cast<long long>((s >> 33) % span));
    }
  } else {
    *error = usage;
    return false;
  }
  return true;
}

}  // namespace boxfile
