// The box's side of the protocol: turns one received datagram into the
// datagrams to send back, faults applied. No sockets here.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "boxsim/box.h"

// Where a datagram is sent from.
enum class Source {
  kBox,       // the box's own address and port
  kPort812,   // the box's address, source port 812
  kJunkAddr,  // the second address, the box's port
};

struct Outgoing {
  std::vector<uint8_t> bytes;
  int delay_ms = 0;  // after the request arrived
  Source source = Source::kBox;
};

class Responder {
 public:
  explicit Responder(const Box& box) : box_(box) {}

  // What to send for `request`; `now` is the host clock in seconds, used
  // when the box's clock is not fixed.
  std::vector<Outgoing> answer(const uint8_t* request, size_t len, int32_t now);

 private:
  std::vector<uint8_t> reply_for(const uint8_t* request, int32_t clock, const Faults& f) const;
  // The slot's sensor as it is now: as the file gave it, or grown.
  const Sensor& sensor(int index) const;
  // Logs the sensor's `gain` more samples, each one above the newest.
  void grow(int index);

  const Box& box_;
  int box_requests_ = 0;
  int slot_requests_[kBoxPorts * kBoxSlots] = {};
  bool data_asked_[kBoxPorts * kBoxSlots] = {};  // since the last growth
  std::array<std::optional<Sensor>, kBoxPorts * kBoxSlots> grown_;
};
