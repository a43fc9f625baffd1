#include "app/options.h"

#include <cstring>

int option_index = 1;

namespace {
// Letters, digits and punctuation of 7-bit ASCII, as the C locale classifies
// them: exactly the visible characters from '!' to '~'.
bool is_option_char(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

bool starts_option(const char* word) { return word[0] == '-' || word[0] == '/'; }

// An option whose argument names a file takes a next word that starts with
// '/' as an absolute path, unless it is a two-character option word ("/n").
bool takes_next_word(unsigned char option, const char* next) {
  if (!starts_option(next)) return true;
  const bool path_option = option == 'm' || option == 'M' || option == 'f' || option == 'F';
  return path_option && next[0] == '/' && std::strlen(next) > 2;
}
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
  if (option_index + 1 < argc && takes_next_word(c, argv[option_index + 1])) {
    *arg = argv[option_index + 1];
    option_index += 2;
    return c;
  }
  *arg = nullptr;
  ++option_index;
  return c;
}
