#include "boxsim/box_values.h"

#include <sstream>

namespace boxfile {

std::string trim(const std::string& s) {
  const char* ws = " \t\r";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

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

bool int32_bits(const std::string& what, const std::string& text, int32_t* out,
                std::string* error) {
  long long v;
  if (!number_in(what, text, INT32_MIN, UINT32_MAX, &v, error)) return false;
  *out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

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

}  // namespace boxfile
