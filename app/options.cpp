#include "app/options.h"

#include <cstring>

int option_index = 1;

namespace {
// Letters, digits and punctuation of 7-bit ASCII, as the C locale classifies
// them: exactly the visible characters from '!' to '~'.
bool is_option_char(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

bool starts_option(const char* word) { return word[0] == '-' || word[0] == '/'; }
}  // namespace

int scan_option(int argc, char* const* argv, const char* optstring, const char** arg) {
  if (option_index >= argc) {
    *arg = nullptr;
    ++option_index;
    return 0;
  }
  const char* word = argv[option_index];
  if (!starts_option(word)) {
    *arg = word;
    ++option_index;
    return 1;
  }
  const unsigned char c = static_cast<unsigned char>(word[1]);
  // is_option_char excludes the terminating zero, which strchr would find.
  const char* found = is_option_char(c) ? std::strchr(optstring, c) : nullptr;
  if (found == nullptr) {
    *arg = word;
    ++option_index;
    return -1;
  }
  if (found[1] != ':') {
    *arg = nullptr;
    ++option_index;
    return c;
  }
  if (word[2] != '\0') {
    *arg = word + 2;
    ++option_index;
    return c;
  }
  if (option_index + 1 < argc && !starts_option(argv[option_index + 1])) {
    *arg = argv[option_index + 1];
    option_index += 2;
    return c;
  }
  *arg = nullptr;
  ++option_index;
  return c;
}
