// The simulated box: its sensors, their datalog rings, and the faults it
// shows on demand. Filled by the box file parser, read by the responder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr int kBoxPorts = 8;
constexpr int kBoxSlots = 2;

// Kinds of junk sent ahead of a real reply; each is a datagram the client
// must drop.
enum JunkKind : uint32_t {
  kJunkLength = 1u << 0,     // the reply one byte longer
  kJunkPortByte = 1u << 1,   // byte 1 names another port
  kJunkFrom812 = 1u << 2,    // the reply itself, from source port 812
  kJunkFromAddr = 1u << 3,   // the reply itself, from the second address
  kJunkCountOver = 1u << 4,  // data reply whose count is one above the ask
  kJunkCountZero = 1u << 5,  // data reply whose count is 0
};

// What goes into bytes 5-6 of a data reply.
struct ReplyCount {
  enum Kind { kAsked, kOver, kZero, kFixed } kind = kAsked;
  int16_t fixed = 0;
};

// Faults of the whole box or of one slot. Unset optionals leave the choice
// to the other level (box-wide or slot).
struct Faults {
  bool silent = false;              // never answers
  bool old_firmware = false;        // 124-byte reply to status requests
  int drop_first = 0;               // ignores the first N requests
  std::vector<int> drop_requests;   // ignores these requests (counted from 1)
  std::optional<int> twice_gap_ms;  // sends each reply again after this gap
  int late_ms = 0;                  // holds each reply back
  uint32_t junk = 0;                // JunkKind bits
  int flood_count = 0;              // junk datagrams per request, never an answer
  int flood_interval_ms = 100;
  std::optional<ReplyCount> reply_count;
  bool stale_copy = false;  // after each reply: an oversized datagram, then a copy
};

struct Sensor {
  uint8_t type = 1;
  std::string description;  // raw bytes, at most 36; 36 leaves no zero byte
  std::string unit;         // at most 16
  uint8_t zone = 0;
  uint8_t sample_size = 2;
  uint8_t interval = 10;  // minutes
  int16_t capacity = 0;
  int16_t head = 0;
  int16_t count = 0;
  int16_t inst_high = 0, inst_low = 0, avg_low = 0, avg_high = 0;
  std::optional<int32_t> last_log_time;  // unset: the box's clock
  // Samples logged between two downloads: a status request that follows a
  // data request of this slot first adds this many.
  int gain = 0;
  // The ring as stored: capacity entries, or at least one when the capacity
  // is not positive, so every index can be served.
  std::vector<int32_t> ring;
};

struct Slot {
  enum Kind { kAbsent, kSensor, kError } kind = kAbsent;
  uint8_t error = 0;  // for kError
  Sensor sensor;
  Faults faults;
};

struct Box {
  std::string system_name;              // at most 36 bytes
  std::optional<int32_t> clock;         // unset: the host's clock
  std::optional<std::string> password;  // unset: any password is accepted
  std::optional<uint8_t> absent;        // unset: 0xFD for an empty port, else 0xFE
  std::string junk_addr;                // second address for kJunkFromAddr
  Faults faults;
  std::array<Slot, kBoxPorts * kBoxSlots> slots;

  Slot& slot(int port, int slot_index) { return slots[port * kBoxSlots + slot_index]; }
  const Slot& slot(int port, int slot_index) const { return slots[port * kBoxSlots + slot_index]; }
  // The error byte a status or data request for an unconfigured slot gets.
  uint8_t absent_error(int port) const;
  // Whether any level uses one of the JunkKind bits in `mask`.
  bool uses_junk(uint32_t mask) const;
};

// Lays out `samples` (oldest first) in a ring so that the newest lands just
// before `head`; entries not covered hold `fill`. Returns the ring storage.
std::vector<int32_t> lay_out_ring(const std::vector<int32_t>& samples, int16_t capacity,
                                  int16_t head, int32_t fill);

// Writes the low `width` bytes of v little-endian; bytes past the fourth
// repeat the sign.
void put_sample(uint8_t* p, int32_t v, int width);
