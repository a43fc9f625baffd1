// What a store's answer to a push means for the samples in it.
#pragma once

#include <string>

#include "platform/http.h"

enum class push_verdict {
  kAcknowledged,    // 2xx: the store holds the samples
  kStoreDown,       // no answer, a time-out, 5xx or 429: try again later (exit status 2)
  kSamplesRefused,  // the store will never take these samples (out of bounds, too old, out
                    // of order, another value at the same time): sending them again is no use
  kRefused,         // another answer (4xx, a redirect): the request is wrong (URL, token, database)
};

struct push_judgement {
  push_verdict verdict;
  // What to say: "HTTP 401: unauthorized access", or the transport error.
  std::string text;
};

// Prometheus answers samples it refuses for good with 400 (older versions
// with 500) and says why in the body; those words are what sets them apart
// from a store that is down.
push_judgement judge_push(const HttpResponse& response);
