// Protocol buffer wire fields, encoded by hand for the remote-write requests.
// Varints are base-128 with the least significant group first; fixed64
// fields are little-endian, whatever the host.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace protobuf {

enum wire_type : uint8_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2 };

// A field's key: its number and wire type (numbers 1..15 fit one byte).
inline uint8_t key(unsigned field, wire_type type) {
  return static_cast<uint8_t>((field << 3) | type);
}

inline size_t varint_size(uint64_t v) {
  size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

inline void put_varint(std::string* out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) *out += static_cast<char>(static_cast<uint8_t>(v) | 0x80);
  *out += static_cast<char>(v);
}

// An int64 field: two's complement, so a negative value takes ten bytes.
inline void put_int64_varint(std::string* out, int64_t v) { put_varint(out, static_cast<uint64_t>(v)); }

inline void put_fixed64_le(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i, v >>= 8) *out += static_cast<char>(static_cast<uint8_t>(v));
}

// A double field: its IEEE 754 bits as a fixed64.
inline void put_double_le(std::string* out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  put_fixed64_le(out, bits);
}

// A length-delimited field (a string, bytes or an embedded message).
inline void put_bytes(std::string* out, unsigned field, const char* data, size_t size) {
  *out += static_cast<char>(key(field, kLengthDelimited));
  put_varint(out, size);
  out->append(data, size);
}

}  // namespace protobuf
