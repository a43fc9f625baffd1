#include "app/site_run.h"

#include <algorithm>
#include <atomic>
#include <thread>

void site_console::line(bool err, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_status();
  std::FILE* f = err ? err_ : out_;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
  if (!err && !ok) good_ = false;
  if (!status_.empty()) {
    std::fprintf(err_, "%s", status_.c_str());
    std::fflush(err_);
  }
}

void site_console::clear_status() {
  if (status_.empty()) return;
  std::fprintf(err_, "\r%s\r", std::string(status_.size(), ' ').c_str());
  std::fflush(err_);
}

void site_console::status(const std::string& text) {
  if (!progress_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  clear_status();
  status_ = text;
  if (!status_.empty()) {
    std::fprintf(err_, "%s", status_.c_str());
    std::fflush(err_);
  }
}

bool site_console::good() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return good_;
}

prefixed_sink::~prefixed_sink() {
  // A last line without its end still goes out whole.
  for (int s = 0; s < 2; ++s)
    if (!pending_[s].empty()) console_.line(s == 1, prefix_ + pending_[s] + "\n");
}

void prefixed_sink::take(bool err, const char* text, size_t size) {
  std::string& pending = pending_[err ? 1 : 0];
  pending.append(text, size);
  size_t start = 0;
  for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
    console_.line(err, prefix_ + pending.substr(start, nl + 1 - start));
  pending.erase(0, start);
}

int run_site(const site_plan& plan, const box_walker& walk, site_console& console,
             std::vector<walk_summary>* summaries) {
  const size_t boxes = plan.boxes.size();
  std::vector<walk_summary> results(boxes);
  std::atomic<size_t> next{0};
  std::mutex flight_mutex;
  std::vector<bool> in_flight(boxes, false);
  size_t done = 0;
  auto show_flight = [&](size_t i, bool flying) {
    std::lock_guard<std::mutex> lock(flight_mutex);
    in_flight[i] = flying;
    if (!flying) ++done;
    std::string text;
    for (size_t b = 0; b < boxes; ++b)
      if (in_flight[b]) text += (text.empty() ? "" : ", ") + plan.boxes[b].name;
    // A long list is cut: the line must stay one line.
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    console.status(text.empty() ? ""
                                : "Walking " + text + " (" + std::to_string(done) + " of " +
                                      std::to_string(boxes) + " done)");
  };
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < boxes;) {
      const site_box& box = plan.boxes[i];
      // Each box's deadline starts with its own walk, not with the site's.
      const auto deadline = clock_type::now() + std::chrono::seconds(box.deadline_seconds);
      show_flight(i, true);
      {
        prefixed_sink sink(console, box.name);
        results[i] = walk(box, sink, deadline);
      }
      show_flight(i, false);
    }
  };
  const size_t threads =
      std::min<size_t>(boxes, static_cast<size_t>(std::max(1, plan.concurrency)));
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();

  int status = 0;
  for (size_t i = 0; i < boxes; ++i) {
    const walk_summary& r = results[i];
    char counts[96];
    std::snprintf(counts, sizeof counts, "%d sensor%s saved, %lld sample%s saved, ",
                  r.sensors_saved, r.sensors_saved == 1 ? "" : "s", r.samples_saved,
                  r.samples_saved == 1 ? "" : "s");
    console.line(false, "Summary: " + plan.boxes[i].name + ": " + counts + r.outcome +
                            (r.pushed.empty() ? "" : ", " + r.pushed) + "\n");
    if (r.status == 1) status = 1;
    if (r.status == 2 && status == 0) status = 2;
  }
  if (!console.good() && status == 0) status = 2;
  if (summaries != nullptr) *summaries = std::move(results);
  return status;
}
