#include "report/store_reply.h"

namespace {

bool refuses_samples(const std::string& line) {
  static const char* const kWords[] = {"out of bounds", "too old", "out of order sample",
                                       "duplicate sample for timestamp"};
  for (const char* w : kWords) {
    if (line.find(w) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

push_judgement judge_push(const HttpResponse& r) {
  if (r.status == 0) return {push_verdict::kStoreDown, r.error};
  std::string text = "HTTP " + std::to_string(r.status);
  if (!r.first_line.empty()) text += ": " + r.first_line;
  if (r.status >= 200 && r.status < 300) return {push_verdict::kAcknowledged, text};
  if ((r.status == 400 || r.status == 500) && refuses_samples(r.first_line))
    return {push_verdict::kSamplesRefused, text};
  if ((r.status >= 500 && r.status < 600) || r.status == 429) return {push_verdict::kStoreDown, text};
  return {push_verdict::kRefused, text};
}
