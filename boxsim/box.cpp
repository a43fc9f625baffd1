#include "boxsim/box.h"

#include "device/coding.h"
#include "device/messages.h"

uint8_t Box::absent_error(int port) const {
  if (absent) return *absent;
  // An empty port is offline; a free slot beside a sensor has no datalog.
  for (int s = 0; s < kBoxSlots; ++s)
    if (slot(port, s).kind != Slot::kAbsent) return kBoxNoDatalog;
  return kBoxPortOffline;
}

bool Box::uses_junk(uint32_t mask) const {
  if (faults.junk & mask) return true;
  for (const Slot& s : slots)
    if (s.faults.junk & mask) return true;
  return false;
}

std::vector<int32_t> lay_out_ring(const std::vector<int32_t>& samples, int16_t capacity,
                                  int16_t head, int32_t fill) {
  const long n = static_cast<long>(samples.size());
  const long size = capacity > 0 ? capacity : (n > 0 ? n : 1);
  std::vector<int32_t> ring(static_cast<size_t>(size), fill);
  // Older samples than the ring can hold were overwritten, as on a real box.
  const long first = n > size ? n - size : 0;
  for (long k = first; k < n; ++k) {
    long index = (static_cast<long>(head) - n + k) % size;
    if (index < 0) index += size;
    ring[static_cast<size_t>(index)] = samples[static_cast<size_t>(k)];
  }
  return ring;
}

void put_sample(uint8_t* p, int32_t v, int width) {
  const uint32_t u = static_cast<uint32_t>(v);
  if (width == 1) {
    p[0] = static_cast<uint8_t>(u);
  } else if (width == 2) {
    coding::put_u16_le(p, static_cast<uint16_t>(u));
  } else if (width >= 4) {
    coding::put_u32_le(p, u);
    for (int i = 4; i < width; ++i) p[i] = v < 0 ? 0xFF : 0x00;
  } else if (width == 3) {
    uint8_t four[4];
    coding::put_u32_le(four, u);
    for (int i = 0; i < 3; ++i) p[i] = four[i];
  }
}
