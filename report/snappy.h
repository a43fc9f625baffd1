// Snappy's block format, as remote write sends its requests: the input's
// length as a varint, then literals and back-references. Natively the
// library's compressor is used where the build found it; the Windows build
// (no snappy in MinGW) uses the small encoder here, which decoders read the
// same.
#pragma once

#include <string>
#include <string_view>

// Compresses `in` into *out (replacing what it held).
void snappy_compress(std::string_view in, std::string* out);
// The encoder of our own, whatever the build found.
void snappy_compress_own(std::string_view in, std::string* out);
// Whether snappy_compress uses the library.
bool snappy_uses_library();
