// Fixed-width encoding of wire fields. Every field of the box's messages is
// read and written through these helpers, with the byte order in the name.
#pragma once

#include <cstdint>

namespace coding {

inline void put_u16_le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u16_be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put_u32_le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put_u32_be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint16_t get_u16_le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t get_u16_be(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t get_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t get_u32_be(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Signed reads: two's complement, so 0x8000 is -32768 on every host.
inline int16_t get_i16_le(const uint8_t* p) { return static_cast<int16_t>(get_u16_le(p)); }
inline int16_t get_i16_be(const uint8_t* p) { return static_cast<int16_t>(get_u16_be(p)); }
inline int32_t get_i32_le(const uint8_t* p) { return static_cast<int32_t>(get_u32_le(p)); }
inline int32_t get_i32_be(const uint8_t* p) { return static_cast<int32_t>(get_u32_be(p)); }
inline int8_t get_i8(const uint8_t* p) { return static_cast<int8_t>(p[0]); }

}  // namespace coding
