#include "app/options.h"

#include <cstdlib>
#include <cstring>

#include "report/exports.h"

namespace {
// The options, with ':' after those that take an argument. Only -h has no
// upper-case form.
constexpr const char kOptionString[] = "i:I:p:P:hoOtTnNcCwWx:X:m:M:f:F:vV?";

// Letters, digits and punctuation of 7-bit ASCII, as the C locale classifies
// them: exactly the visible characters from '!' to '~'.
bool is_option_char(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

char folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// What the cursor gives for the long options without a letter of their
// own: control characters, which no option string holds.
constexpr char kTaskXml = '\x01', kCheckOption = '\x02', kTimeoutOption = '\x03';

bool starts_option(const char* word) { return word[0] == '-' || word[0] == '/'; }

// An option whose argument names a file takes a next word that starts with
// '/' as an absolute path, unless it is a two-character option word ("/n").
bool takes_next_word(char option, const char* next) {
  if (!starts_option(next)) return true;
  const bool path_option = option == 'm' || option == 'f';
  return path_option && next[0] == '/' && std::strlen(next) > 2;
}

constexpr long kMostTimeout = 24 * 3600;

// --timeout's seconds: a whole number from 1 to a day, nothing else.
bool parse_seconds(const char* text, int* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v < 1 || v > kMostTimeout) return false;
  *out = static_cast<int>(v);
  return true;
}

// One word at a time through argv.
struct word_cursor {
  int argc;
  char* const* argv;
  int next = 1;

  // What the next word is.
  enum kind { end, stray, unknown, option };
  struct word {
    kind what;
    char letter;       // option: folded to lower case
    const char* text;  // the whole word
    const char* arg;   // option: its argument, or null
  };

  word take() {
    if (next >= argc) return {end, 0, nullptr, nullptr};
    const char* text = argv[next++];
    // The long spellings of -? and -v, as other programs take them.
    if (std::strcmp(text, "--help") == 0) return {option, '?', text, nullptr};
    if (std::strcmp(text, "--version") == 0) return {option, 'v', text, nullptr};
    if (std::strcmp(text, "--task-xml") == 0) return {option, kTaskXml, text, nullptr};
    if (std::strcmp(text, "--check") == 0) return {option, kCheckOption, text, nullptr};
    if (std::strncmp(text, "--timeout=", 10) == 0) return {option, kTimeoutOption, text, text + 10};
    if (std::strcmp(text, "--timeout") == 0) {
      const char* arg = next < argc && !starts_option(argv[next]) ? argv[next++] : nullptr;
      return {option, kTimeoutOption, text, arg};
    }
    if (!starts_option(text)) return {stray, 0, text, nullptr};
    const unsigned char c = static_cast<unsigned char>(text[1]);
    // is_option_char excludes the terminating zero, which strchr would find.
    const char* found = is_option_char(c) ? std::strchr(kOptionString, c) : nullptr;
    if (found == nullptr) return {unknown, 0, text, nullptr};
    const char letter = folded(c);
    if (found[1] != ':') return {option, letter, text, nullptr};
    if (text[2] != '\0') return {option, letter, text, text + 2};
    if (next < argc && takes_next_word(letter, argv[next]))
      return {option, letter, text, argv[next++]};
    return {option, letter, text, nullptr};
  }
};

options refuse(options o, const char* word, lacking missing = lacking::nothing) {
  o.what = command::refused;
  o.refused = word;
  o.missing = missing;
  return o;
}
}  // namespace

options scan_options(int argc, char* const* argv) {
  options o;
  word_cursor words{argc, argv};
  for (;;) {
    const word_cursor::word w = words.take();
    switch (w.what) {
      case word_cursor::end:
        return o;
      case word_cursor::stray:
      case word_cursor::unknown:
        return refuse(o, w.text);
      case word_cursor::option:
        break;
    }
    switch (w.letter) {
      case 'i':
        if (w.arg != nullptr) {
          o.address_present = true;
          o.address = w.arg;
        }
        break;
      case 'p':
        if (w.arg != nullptr) {
          o.password_present = true;
          o.password = w.arg;
        }
        break;
      case 'o':
        o.overwrite = true;
        break;
      case 't':
        o.local_time = true;
        break;
      case 'n':
        o.incremental = true;
        break;
      case 'c':
        o.history = true;
        break;
      case 'w':
        o.history = true;
        o.page = true;
        break;
      case 'x':
        if (w.arg == nullptr) return refuse(o, w.text, lacking::format);
        if (!parse_export_formats(w.arg, &o.exports)) return refuse(o, w.arg);
        break;
      case 'm':
      case 'f':
        // An empty name would quietly mean no file at all.
        if (w.arg == nullptr || *w.arg == '\0') return refuse(o, w.text, lacking::file_name);
        (w.letter == 'm' ? o.textfile : o.site_file) = w.arg;
        break;
      case kCheckOption:
        o.check = true;
        break;
      case kTimeoutOption:
        if (w.arg == nullptr) return refuse(o, w.text, lacking::seconds);
        if (!parse_seconds(w.arg, &o.timeout_seconds)) return refuse(o, w.arg);
        break;
      case 'h':
      case '?':
        o.what = command::usage;
        return o;
      case 'v':
        o.what = command::version;
        return o;
      case kTaskXml:  // -f may still follow
        o.what = command::task_xml;
        break;
      default:  // ':' is the only other character the option string holds
        break;
    }
  }
}
