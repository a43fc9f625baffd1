// The site file (-f): every box a run collects, read from TOML. Nothing in
// it is trusted: each key is checked for its name and type, and a file that
// others may read is refused, since it may hold the boxes' passwords.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/plugin_range.h"

// A sensor's thresholds for --check, from a [[box.sensor]] table.
struct sensor_ranges {
  int port = 0, slot = 0;  // from 1
  bool has_warn = false, has_crit = false;
  plugin_range warn, crit;
};

// A monitoring store every sample is pushed to, from a [[store]] table.
enum class store_kind { influx, remote_write };

struct site_store {
  std::string name;  // names its mark ("store.NAME") and its messages
  store_kind kind = store_kind::influx;
  std::string url;
  std::string authorization;  // the Authorization header's value, "" for none; never printed
  std::string ca_file;        // "" for the system's CAs
  int timeout_seconds = 30;   // per request
  int64_t window_seconds = 0;  // remote_write: samples older than the newest by more are not sent
  int line = 0;                // of its [[store]] header
};

struct site_box {
  std::string name;      // as the console and the summary show it
  std::string address;   // dotted IPv4
  std::string password;  // never printed
  std::string folder;    // where its outputs go: "" or ending in '/'
  bool local_time = false;
  int deadline_seconds = 0;  // for its whole walk
  int line = 0;              // of its [[box]] header, for messages
  std::vector<sensor_ranges> ranges;
  std::vector<std::string> stores;  // the names of the stores it pushes to
};

struct site_plan {
  std::string path;    // the site file as given
  // Where index.html and the boxes without a folder of their own go, and
  // where a box's relative folder starts: the site file's folder unless the
  // top-level 'folder' names another. "" or ending in '/'.
  std::string folder;
  int concurrency = 8;
  int deadline_seconds = 600;
  std::vector<site_box> boxes;
  std::vector<site_store> stores;
};

constexpr int kMaxConcurrency = 64;

// Reads and checks the site file at `path`. False when it cannot be used,
// with one line per mistake in *error ("FILE:LINE: what is wrong", naming
// the key; at most ten, in file order, joined by '\n' with none after the
// last); nothing of the file is then to be acted on. A file that is not
// TOML at all gives the parser's one message.
bool load_site(const std::string& path, site_plan* plan, std::string* error);

// A store's window ("30d", "12h", "90m", "3600s", "2w") in seconds. False
// for anything else, or for none at all.
bool parse_window(const std::string& text, int64_t* seconds);
