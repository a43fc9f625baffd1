// How the box file's lines and values are read: comments and blanks cut,
// numbers in decimal or 0x-hex, and texts plain or double-quoted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boxfile {

std::string trim(const std::string& s);
// Cuts a comment: '#' at the start or after a blank, outside double quotes.
std::string strip_comment(const std::string& s);
// The blank-separated words of `s`.
std::vector<std::string> words(const std::string& s);

// Decimal or 0x-hex, with an optional sign; the whole text must be used.
bool parse_number(const std::string& text, long long* out);
// A number from lo to hi; else false with "WHAT: expected a number from LO
// to HI, got 'TEXT'".
bool number_in(const std::string& what, const std::string& text, long long lo, long long hi,
               long long* out, std::string* error);
// A 32-bit field: signed values, or unsigned ones up to 2^32 - 1, kept as
// the same 32 bits.
bool int32_bits(const std::string& what, const std::string& text, int32_t* out, std::string* error);
// A text value: the rest of the line, or a double-quoted text with the
// escapes \\, \" and \xNN (so any byte, and leading blanks, can be given);
// at most `max` bytes.
bool text_value(const std::string& what, const std::string& value, size_t max, std::string* out,
                std::string* error);
// A key that stands alone: false with "KEY: takes no value" when it has one.
bool no_value(const std::string& key, const std::string& value, std::string* error);

}  // namespace boxfile
