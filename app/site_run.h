// A site run (-f): every box of the site file walked, up to `concurrency`
// at once, each on a thread of its own with its own walk, console lines
// prefixed with the box's name, and one summary line per box at the end.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/site_file.h"
#include "app/walk_summary.h"
#include "report/sink.h"

// The console of a site: whole lines only, one writer at a time, so lines of
// different boxes may interleave but never mix within a line.
class site_console {
 public:
  // With `progress`, standard error (a terminal) keeps one status line
  // below the messages: the boxes in flight.
  site_console(std::FILE* out, std::FILE* err, bool progress = false)
      : out_(out), err_(err), progress_(progress) {}
  void line(bool err, const std::string& text);
  bool good() const;
  // The status line's text; "" takes it away.
  void status(const std::string& text);

 private:
  void clear_status();
  mutable std::mutex mutex_;
  std::FILE* out_;
  std::FILE* err_;
  bool progress_;
  bool good_ = true;
  std::string status_;
};

// One box's sink: each line it is given goes out as "NAME: line".
class prefixed_sink : public message_sink {
 public:
  prefixed_sink(site_console& console, std::string name)
      : console_(console), prefix_(std::move(name) + ": ") {}
  ~prefixed_sink() override;
  bool good() const override { return console_.good(); }

 protected:
  void write_out(const char* text, size_t size) override { take(false, text, size); }
  void write_err(const char* text, size_t size) override { take(true, text, size); }

 private:
  void take(bool err, const char* text, size_t size);
  site_console& console_;
  std::string prefix_;
  std::string pending_[2];  // a line not yet ended, per stream
};

// Walks one box, saying everything through `sink`; stops after the sensor
// during which `deadline` passes.
using box_walker = std::function<walk_summary(const site_box& box, message_sink& sink,
                                              clock_type::time_point deadline)>;

// Runs every box and prints the summary; returns the site's exit status: 0
// when every walk went through and saved everything, 1 when at least one
// ended early, else 2 when something was not saved.
int run_site(const site_plan& plan, const box_walker& walk, site_console& console,
             std::vector<walk_summary>* summaries = nullptr);
