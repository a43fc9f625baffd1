// The -n record's text, apart from what the marks mean. A line per sensor:
// "address port slot type sample_size interval capacity report" and one
// "name=time" word for each other output with a mark (a store's named
// "store.NAME"); a line per output
// file, "file NAME LENGTH", the length the last commit found it at; and a
// line per file renamed into place after the commit that names it,
// "pending TEMPORARY NAME". Names are relative to the record's folder.
// Records of earlier versions have sensor lines only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

// A store's name as its mark carries it: a lowercase letter, then up to
// kMaxStoreName - 1 lowercase letters, digits, '_' and '-'.
constexpr size_t kMaxStoreName = 32;
bool store_name_ok(const std::string& name);

struct record_sensor {
  int type = 0, sample_size = 0, interval = 0, capacity = 0;
  std::map<std::string, int32_t> marks;  // a line is kept only with a report mark
};

using record_key = std::tuple<std::string, int, int>;  // address, port 1-8, slot 1-2

struct record_contents {
  std::map<record_key, record_sensor> sensors;
  std::map<std::string, long long> files;        // committed lengths
  std::map<std::string, std::string> pending;    // temporary name -> final name
};

// Reads `text` into *out; returns how many lines made no sense (left out,
// and a sensor named twice left out both times).
int parse_record(const std::string& text, record_contents* out);
std::string format_record(const record_contents& c);

// Writes `text` as the file at `path` so that a power cut at any moment
// leaves the old file or the new one: a temporary file beside it, synced,
// renamed over it, and the folder synced. False with *err set.
bool durable_replace(const std::string& path, const std::string& text, int* err);

// durable_replace in two halves, for a caller that syncs the temporary file
// `temp` (temporary_name(path)) together with others: `text` into it, synced
// only when `sync`; then it renamed over `path` and the folder synced. Each
// is false with *err set and the temporary file removed.
bool write_beside(const std::string& temp, const std::string& text, bool sync, int* err);
bool put_in_place(const std::string& temp, const std::string& path, int* err);
