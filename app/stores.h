// A monitoring store of the site file as one of a walk's outputs: it keeps
// the samples of each sensor that its mark ("store.NAME") lacks and at the
// end of the walk pushes them over HTTP in bodies of at most 5,000 samples
// (line protocol or remote write). A sensor's mark moves only once every
// body holding its samples was acknowledged, or its samples refused for
// good; a store that is down or refuses the requests keeps the rest for
// the next run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/outputs.h"
#include "app/site_file.h"
#include "app/walk_summary.h"
#include "platform/http.h"
#include "report/store_batches.h"
#include "report/store_reply.h"

class message_sink;

// The mark of store `name` in the -n record.
std::string store_mark(const std::string& name);

class store_push : public sensor_output {
 public:
  using poster = std::function<HttpResponse(const HttpRequest&)>;
  // `post` sends one request; requests are made only before `deadline`.
  store_push(const site_store& store, poster post, clock_type::time_point deadline,
             const output_context& ctx, std::string address);

  const char* mark() const override { return mark_.c_str(); }
  bool at_finish() const override { return true; }
  std::vector<std::string> files_for(const reading&) const override { return {}; }
  bool add(const reading& part) override;
  // Pushes what add kept. False when some of it could not be sent (said).
  bool finish() override;
  bool delivered(int port, int slot, bool finished) const override;

  // For the summary line: "NAME: N samples sent" ("N of M" when not all went).
  std::string tally() const;
  long long sent() const { return sent_; }

  // Between two tries of one request; the tests shorten it.
  std::chrono::milliseconds retry_pause{1000};
  size_t most_samples = kStoreBatchSamples;

 private:
  struct sensor {
    int port, slot;  // from 0
    size_t unsettled = 0;  // samples neither acknowledged nor refused for good
    size_t refused = 0, too_old = 0;
    std::string why;  // the store's words for the first refusal
  };

  void trim_to_window();
  bool post(const std::string& body, push_judgement* answer);
  std::string body_of(const std::vector<series_part>& parts, size_t* samples) const;
  // Sends parts in `body`; a body whose samples are refused is split in
  // halves, each sent again. False when the store is down or refused.
  bool send(const std::vector<series_part>& parts, const std::string& body, size_t samples,
            int depth);
  void settle(const std::vector<series_part>& parts, const std::string* refused);

  site_store store_;
  std::string mark_;
  poster post_;
  clock_type::time_point deadline_;
  message_sink& sink_;
  std::string box_, address_;
  std::string shown_;  // the URL without its query, for messages
  HttpRequest request_;
  store_batch_options options_;
  std::vector<store_series> series_;
  std::vector<sensor> sensors_;  // one per series
  long long sent_ = 0, total_ = 0;
  int splits_left_ = 0;
};

// The store's output for one walk, posting through a client of its own.
std::unique_ptr<store_push> store_output(const site_store& store, clock_type::time_point deadline,
                                         const output_context& ctx, const std::string& address);
