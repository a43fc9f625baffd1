#include "report/snappy.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/coding.h"
#include "report/protobuf.h"

#ifdef LOGFETCH_LIBSNAPPY
#include <snappy.h>
#endif

namespace {

// Back-references stay inside blocks of 64 KiB, so an offset fits 16 bits,
// as in the library's own encoder.
constexpr size_t kBlock = 1 << 16;
constexpr int kHashBits = 14;

// Tag bytes: the low two bits say the element's kind.
enum : uint8_t { kLiteral = 0, kCopy1 = 1, kCopy2 = 2 };

uint32_t load_u32_le(const uint8_t* p) { return coding::get_u32_le(p); }

uint32_t hash_of(uint32_t v) { return (v * 0x1e35a7bdu) >> (32 - kHashBits); }

void put_literal(std::string* out, const uint8_t* p, size_t n) {
  if (n == 0) return;
  const size_t m = n - 1;
  if (m < 60) {
    *out += static_cast<char>(kLiteral | (m << 2));
  } else {
    // 60..63: the length less one follows in 1..4 bytes, little-endian.
    int bytes = 1;
    while (bytes < 4 && (m >> (8 * bytes)) != 0) ++bytes;
    *out += static_cast<char>(kLiteral | ((59 + bytes) << 2));
    for (int i = 0; i < bytes; ++i) *out += static_cast<char>(static_cast<uint8_t>(m >> (8 * i)));
  }
  out->append(reinterpret_cast<const char*>(p), n);
}

// One copy of 4..64 bytes (1..64 with a two-byte offset).
void put_copy_once(std::string* out, size_t offset, size_t length) {
  if (length >= 4 && length < 12 && offset < 2048) {
    *out += static_cast<char>(kCopy1 | ((length - 4) << 2) | ((offset >> 8) << 5));
    *out += static_cast<char>(static_cast<uint8_t>(offset));
  } else {
    *out += static_cast<char>(kCopy2 | ((length - 1) << 2));
    uint8_t le[2];
    coding::put_u16_le(le, static_cast<uint16_t>(offset));
    out->append(reinterpret_cast<const char*>(le), 2);
  }
}

void put_copy(std::string* out, size_t offset, size_t length) {
  // Pieces of 64, leaving at least 4 for the last one.
  while (length >= 68) {
    put_copy_once(out, offset, 64);
    length -= 64;
  }
  if (length > 64) {
    put_copy_once(out, offset, 60);
    length -= 60;
  }
  put_copy_once(out, offset, length);
}

void compress_block(const uint8_t* base, size_t n, std::vector<uint16_t>* table, std::string* out) {
  // Too short to be worth a search: 4 bytes are read at each position.
  if (n < 16) {
    put_literal(out, base, n);
    return;
  }
  std::fill(table->begin(), table->end(), 0);
  size_t ip = 0, emitted = 0;
  const size_t last = n - 4;
  while (ip <= last) {
    const uint32_t here = load_u32_le(base + ip);
    uint16_t& slot = (*table)[hash_of(here)];
    const size_t candidate = slot;
    slot = static_cast<uint16_t>(ip);
    if (candidate < ip && load_u32_le(base + candidate) == here) {
      put_literal(out, base + emitted, ip - emitted);
      size_t length = 4;
      while (ip + length < n && base[candidate + length] == base[ip + length]) ++length;
      put_copy(out, ip - candidate, length);
      ip += length;
      emitted = ip;
      continue;
    }
    // Step faster through data that does not repeat.
    ip += 1 + ((ip - emitted) >> 5);
  }
  put_literal(out, base + emitted, n - emitted);
}

}  // namespace

void snappy_compress_own(std::string_view in, std::string* out) {
  out->clear();
  protobuf::put_varint(out, in.size());
  std::vector<uint16_t> table(size_t{1} << kHashBits);
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  for (size_t start = 0; start < in.size(); start += kBlock)
    compress_block(p + start, std::min(kBlock, in.size() - start), &table, out);
}

#ifdef LOGFETCH_LIBSNAPPY
void snappy_compress(std::string_view in, std::string* out) {
  out->clear();
  snappy::Compress(in.data(), in.size(), out);
}
bool snappy_uses_library() { return true; }
#else
void snappy_compress(std::string_view in, std::string* out) { snappy_compress_own(in, out); }
bool snappy_uses_library() { return false; }
#endif
