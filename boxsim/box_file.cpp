#include "boxsim/box_file.h"

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "device/messages.h"
#include "platform/udp.h"

namespace {

constexpr long kMaxSamples = 1000000;  // per sensor, listed and generated together
constexpr long kMaxGain = 32767;        // a whole ring at most per download

std::string trim(const std::string& s) {
  const char* ws = " \t\r";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Cuts a comment: '#' at the start or after a blank, outside double quotes.
std::string strip_comment(const std::string& s) {
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && quoted) {
      ++i;
    } else if (s[i] == '"') {
      quoted = !quoted;
    } else if (s[i] == '#' && !quoted && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t')) {
      return s.substr(0, i);
    }
  }
  return s;
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// Decimal or 0x-hex, with an optional sign; the whole text must be used.
bool parse_number(const std::string& text, long long* out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  unsigned long long v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    v = v * base + digit;
    if (v > (1ull << 40)) return false;  // far beyond any field
  }
  *out = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  return true;
}

bool number_in(const std::string& what, const std::string& text, long long lo, long long hi,
               long long* out, std::string* error) {
  if (!parse_number(text, out) || *out < lo || *out > hi) {
    *error = what + ": expected a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
             ", got '" + text + "'";
    return false;
  }
  return true;
}

// A 32-bit field: signed values, or unsigned ones up to 2^32 - 1, kept as
// the same 32 bits.
bool int32_bits(const std::string& what, const std::string& text, int32_t* out,
                std::string* error) {
  long long v;
  if (!number_in(what, text, INT32_MIN, UINT32_MAX, &v, error)) return false;
  *out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

// A text value: the rest of the line, or a double-quoted text with the
// escapes \\, \" and \xNN (so any byte, and leading blanks, can be given).
bool text_value(const std::string& what, const std::string& value, size_t max, std::string* out,
                std::string* error) {
  std::string t;
  if (!value.empty() && value[0] == '"') {
    if (value.size() < 2 || value.back() != '"') {
      *error = what + ": missing closing quote";
      return false;
    }
    for (size_t i = 1; i + 1 < value.size(); ++i) {
      char c = value[i];
      if (c == '\\') {
        if (i + 2 >= value.size()) {
          *error = what + ": lone backslash at the end";
          return false;
        }
        const char e = value[++i];
        if (e == '\\' || e == '"') {
          c = e;
        } else if (e == 'x' && i + 3 < value.size()) {
          long long v;
          if (!parse_number("0x" + value.substr(i + 1, 2), &v)) {
            *error = what + ": bad escape \\x" + value.substr(i + 1, 2);
            return false;
          }
          c = static_cast<char>(v);
          i += 2;
        } else {
          *error = what + ": unknown escape \\" + std::string(1, e);
          return false;
        }
      }
      t += c;
    }
  } else {
    t = value;
  }
  if (t.size() > max) {
    *error = what + ": at most " + std::to_string(max) + " bytes, got " + std::to_string(t.size());
    return false;
  }
  *out = t;
  return true;
}

bool no_value(const std::string& key, const std::string& value, std::string* error) {
  if (!value.empty()) *error = key + ": takes no value";
  return value.empty();
}

bool junk_bits(const std::string& value, uint32_t* bits, std::string* error) {
  static const struct {
    const char* name;
    uint32_t bit;
  } kinds[] = {
      {"length", kJunkLength},      {"port_byte", kJunkPortByte},   {"from_812", kJunkFrom812},
      {"from_addr", kJunkFromAddr}, {"count_over", kJunkCountOver}, {"count_zero", kJunkCountZero},
  };
  std::string list = value;
  for (char& c : list)
    if (c == ',') c = ' ';
  const std::vector<std::string> names = words(list);
  if (names.empty()) {
    *error = "junk: name at least one kind";
    return false;
  }
  for (const std::string& n : names) {
    bool found = false;
    for (const auto& k : kinds) {
      if (n == k.name) {
        *bits |= k.bit;
        found = true;
      }
    }
    if (!found) {
      *error = "junk: unknown kind '" + n +
               "' (length, port_byte, from_812, from_addr, count_over, count_zero)";
      return false;
    }
  }
  return true;
}

}  // namespace

bool set_fault(Faults* f, const std::string& key, const std::string& value, bool* known,
               std::string* error) {
  *known = true;
  long long v;
  const std::vector<std::string> w = words(value);
  if (key == "silent") return no_value(key, value, error) && (f->silent = true);
  if (key == "old_firmware") return no_value(key, value, error) && (f->old_firmware = true);
  if (key == "stale_copy") return no_value(key, value, error) && (f->stale_copy = true);
  if (key == "drop_first") {
    if (!number_in(key, value, 0, kMaxSamples, &v, error)) return false;
    f->drop_first = static_cast<int>(v);
    return true;
  }
  if (key == "drop_request") {
    if (w.empty()) {
      *error = key + ": name at least one request number";
      return false;
    }
    for (const std::string& x : w) {
      if (!number_in(key, x, 1, kMaxSamples, &v, error)) return false;
      f->drop_requests.push_back(static_cast<int>(v));
    }
    return true;
  }
  if (key == "twice") {
    if (w.size() > 1) {
      *error = key + ": at most one value (the gap in ms)";
      return false;
    }
    v = 0;
    if (!w.empty() && !number_in(key, w[0], 0, 600000, &v, error)) return false;
    f->twice_gap_ms = static_cast<int>(v);
    return true;
  }
  if (key == "late") {
    if (!number_in(key, value, 0, 600000, &v, error)) return false;
    f->late_ms = static_cast<int>(v);
    return true;
  }
  if (key == "junk") return junk_bits(value, &f->junk, error);
  if (key == "flood") {
    if (w.empty() || w.size() > 2) {
      *error = key + ": expected COUNT [INTERVAL_MS]";
      return false;
    }
    if (!number_in(key, w[0], 1, 10000, &v, error)) return false;
    f->flood_count = static_cast<int>(v);
    if (w.size() == 2) {
      if (!number_in(key, w[1], 1, 60000, &v, error)) return false;
      f->flood_interval_ms = static_cast<int>(v);
    }
    return true;
  }
  if (key == "reply_count") {
    ReplyCount rc;
    if (value == "asked") {
      rc.kind = ReplyCount::kAsked;
    } else if (value == "over") {
      rc.kind = ReplyCount::kOver;
    } else if (value == "zero") {
      rc.kind = ReplyCount::kZero;
    } else if (parse_number(value, &v) && v >= INT16_MIN && v <= INT16_MAX) {
      rc.kind = ReplyCount::kFixed;
      rc.fixed = static_cast<int16_t>(v);
    } else {
      *error = key + ": expected asked, over, zero or a number from -32768 to 32767, got '" +
               value + "'";
      return false;
    }
    f->reply_count = rc;
    return true;
  }
  *known = false;
  *error = "unknown key '" + key + "'";
  return false;
}

namespace {

struct PendingSensor {
  std::vector<int32_t> samples;
  int32_t fill = 0;
  bool has_capacity = false, has_head = false, has_count = false;
};

bool generate(const std::vector<std::string>& w, std::vector<int32_t>* out, std::string* error) {
  // generate COUNT RULE ARGS...
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

bool sensor_key(const std::string& key) {
  static const std::set<std::string> keys = {
      "type",     "description",   "unit",    "zone",      "sample_size", "interval",
      "capacity", "head",          "count",   "inst_high", "inst_low",    "avg_low",
      "avg_high", "last_log_time", "samples", "generate",  "fill",
      "gain"};
  return keys.count(key) > 0;
}

bool box_key(const std::string& key) {
  return key == "system" || key == "clock" || key == "password" || key == "absent" ||
         key == "junk_addr";
}

bool repeatable(const std::string& key) {
  return key == "samples" || key == "generate" || key == "drop_request" || key == "junk";
}

bool set_sensor(Sensor* s, PendingSensor* p, const std::string& key, const std::string& value,
                std::string* error) {
  long long v;
  auto i16 = [&](int16_t* field) {
    if (!number_in(key, value, INT16_MIN, INT16_MAX, &v, error)) return false;
    *field = static_cast<int16_t>(v);
    return true;
  };
  auto u8 = [&](uint8_t* field) {
    if (!number_in(key, value, 0, 255, &v, error)) return false;
    *field = static_cast<uint8_t>(v);
    return true;
  };
  if (key == "type") {
    for (int code = 0; code < kSensorTypeCount; ++code) {
      if (!value.empty() && value == sensor_type_names[code]) {
        s->type = static_cast<uint8_t>(code);
        return true;
      }
    }
    if (!number_in(key, value, 0, 255, &v, error)) {
      *error += " or a type name such as temperature";
      return false;
    }
    s->type = static_cast<uint8_t>(v);
    return true;
  }
  if (key == "description") return text_value(key, value, kDescriptionSize, &s->description, error);
  if (key == "unit") return text_value(key, value, kUnitSize, &s->unit, error);
  if (key == "zone") return u8(&s->zone);
  if (key == "sample_size") return u8(&s->sample_size);
  if (key == "interval") return u8(&s->interval);
  if (key == "capacity") return (p->has_capacity = true) && i16(&s->capacity);
  if (key == "head") return (p->has_head = true) && i16(&s->head);
  if (key == "count") return (p->has_count = true) && i16(&s->count);
  if (key == "inst_high") return i16(&s->inst_high);
  if (key == "inst_low") return i16(&s->inst_low);
  if (key == "avg_low") return i16(&s->avg_low);
  if (key == "avg_high") return i16(&s->avg_high);
  if (key == "last_log_time") {
    if (value == "clock") {
      s->last_log_time.reset();
      return true;
    }
    int32_t t;
    if (!int32_bits(key, value, &t, error)) return false;
    s->last_log_time = t;
    return true;
  }
  if (key == "fill") return int32_bits(key, value, &p->fill, error);
  if (key == "gain") {
    if (!number_in(key, value, 0, kMaxGain, &v, error)) return false;
    s->gain = static_cast<int>(v);
    return true;
  }
  if (key == "samples") {
    const std::vector<std::string> w = words(value);
    if (w.empty()) {
      *error = "samples: list at least one value";
      return false;
    }
    if (static_cast<long>(p->samples.size() + w.size()) > kMaxSamples) {
      *error = "samples: more than " + std::to_string(kMaxSamples) + " samples in one sensor";
      return false;
    }
    for (const std::string& x : w) {
      int32_t t;
      if (!int32_bits(key, x, &t, error)) return false;
      p->samples.push_back(t);
    }
    return true;
  }
  if (key == "generate") return generate(words(value), &p->samples, error);
  *error = "unknown key '" + key + "'";
  return false;
}

// Fills in what the section left out and lays out the ring.
bool finish_sensor(Sensor* s, const PendingSensor& p, std::string* error) {
  const long n = static_cast<long>(p.samples.size());
  if (!p.has_capacity) {
    if (n > INT16_MAX) {
      *error = "more than 32767 samples: give a capacity (the newest ones are kept)";
      return false;
    }
    s->capacity = static_cast<int16_t>(n > 0 ? n : 1);
  }
  const long cap = s->capacity > 0 ? s->capacity : 1;
  if (!p.has_head) s->head = static_cast<int16_t>(n % cap);
  if (!p.has_count) s->count = static_cast<int16_t>(n < cap ? n : cap);
  s->ring = lay_out_ring(p.samples, s->capacity, s->head, p.fill);
  return true;
}

}  // namespace

bool parse_box(const std::string& text, const std::string& name, Box* box, std::string* error) {
  *box = Box();
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;

  // The section being read: -1 for the box, else port * 2 + slot.
  int section = -1;
  int section_line = 0;
  std::set<std::string> seen;
  std::set<int> sections_seen;
  PendingSensor pending;
  bool has_sensor_keys = false;

  auto fail = [&](int at, const std::string& message) {
    *error = name + ":" + std::to_string(at) + ": " + message;
    return false;
  };
  auto close_section = [&]() {
    if (section < 0 || !has_sensor_keys) return true;
    Slot& slot = box->slots[section];
    std::string message;
    if (!finish_sensor(&slot.sensor, pending, &message)) return fail(section_line, message);
    return true;
  };

  while (std::getline(in, raw)) {
    ++line_no;
    const std::string line = trim(strip_comment(raw));
    if (line.empty()) continue;

    if (line[0] == '[') {
      if (line.back() != ']') return fail(line_no, "section header without closing ']'");
      if (!close_section()) return false;
      const std::vector<std::string> w = words(line.substr(1, line.size() - 2));
      seen.clear();
      pending = PendingSensor();
      has_sensor_keys = false;
      section_line = line_no;
      if (w.size() == 1 && w[0] == "box") {
        section = -1;
        continue;
      }
      long long port, slot;
      if (w.size() != 4 || w[0] != "port" || w[2] != "slot" || !parse_number(w[1], &port) ||
          !parse_number(w[3], &slot) || port < 1 || port > kBoxPorts || slot < 1 ||
          slot > kBoxSlots)
        return fail(line_no, "expected [box] or [port P slot S] with P 1-8 and S 1-2");
      section = static_cast<int>((port - 1) * kBoxSlots + (slot - 1));
      if (!sections_seen.insert(section).second)
        return fail(line_no, "port " + std::to_string(port) + " slot " + std::to_string(slot) +
                                 " is described twice");
      continue;
    }

    const size_t split = line.find_first_of(" \t");
    const std::string key = line.substr(0, split);
    const std::string value = split == std::string::npos ? "" : trim(line.substr(split));
    if (!repeatable(key) && !seen.insert(key).second)
      return fail(line_no, "'" + key + "' given twice in this section");

    std::string message;
    Faults* faults = section < 0 ? &box->faults : &box->slots[section].faults;
    bool known = false;
    if (set_fault(faults, key, value, &known, &message)) continue;
    if (known) return fail(line_no, message);

    if (section < 0) {
      if (sensor_key(key) || key == "error")
        return fail(line_no, "'" + key + "' belongs in a [port P slot S] section");
      if (!box_key(key)) return fail(line_no, "unknown key '" + key + "'");
      long long v;
      bool ok = true;
      if (key == "system") {
        ok = text_value(key, value, kSystemNameSize, &box->system_name, &message);
      } else if (key == "clock") {
        if (value == "now") {
          box->clock.reset();
        } else {
          int32_t t = 0;
          ok = int32_bits(key, value, &t, &message);
          box->clock = t;
        }
      } else if (key == "password") {
        std::string pw;
        ok = text_value(key, value, 1000, &pw, &message);
        box->password = pw;
      } else if (key == "absent") {
        if (value == "auto") {
          box->absent.reset();
        } else {
          ok = number_in(key, value, 0, 255, &v, &message);
          box->absent = static_cast<uint8_t>(v);
        }
      } else if (key == "junk_addr") {
        uint32_t a = 0;
        ok = dotted_ipv4(value, &a);
        if (!ok) message = "junk_addr: expected a dotted IPv4 address, got '" + value + "'";
        box->junk_addr = value;
      }
      if (!ok) return fail(line_no, message);
      continue;
    }

    Slot& slot = box->slots[section];
    if (key == "error") {
      if (has_sensor_keys) return fail(line_no, "'error' and sensor keys cannot share a slot");
      long long v;
      if (!number_in(key, value, 0, 255, &v, &message)) return fail(line_no, message);
      slot.kind = Slot::kError;
      slot.error = static_cast<uint8_t>(v);
      continue;
    }
    if (box_key(key)) return fail(line_no, "'" + key + "' belongs before the first section");
    if (!sensor_key(key)) return fail(line_no, "unknown key '" + key + "'");
    if (slot.kind == Slot::kError)
      return fail(line_no, "'error' and sensor keys cannot share a slot");
    has_sensor_keys = true;
    slot.kind = Slot::kSensor;
    if (!set_sensor(&slot.sensor, &pending, key, value, &message)) return fail(line_no, message);
  }
  return close_section();
}

bool load_box(const std::string& path, Box* box, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *error = path + ": cannot open";
    return false;
  }
  std::ostringstream text;
  text << f.rdbuf();
  return parse_box(text.str(), path, box, error);
}
