// Splits a fuzz input into received datagrams: each is one flags byte (who
// sent it), a little-endian 16-bit length, then that many bytes (fewer when
// the input ends first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/coding.h"
#include "device/messages.h"

namespace fuzz {

constexpr uint32_t kBoxIp = 0x0100007F;  // 127.0.0.1 in network order
constexpr uint32_t kOtherIp = 0x0200007F;
constexpr int kMaxDatagram = 1500;  // what the connection's buffer takes
constexpr int kMaxDatagrams = 64;

struct Received {
  std::vector<uint8_t> bytes;  // exactly the datagram: reads past it are caught
  uint32_t from_ip;
  uint16_t from_port;

  Datagram view() const {
    return Datagram{bytes.data(), static_cast<int>(bytes.size()), from_ip, from_port};
  }
};

inline std::vector<Received> split_datagrams(const uint8_t* data, size_t size) {
  std::vector<Received> out;
  while (size >= 3 && out.size() < kMaxDatagrams) {
    const uint8_t flags = data[0];
    size_t len = coding::get_u16_le(data + 1) % (kMaxDatagram + 1);
    data += 3;
    size -= 3;
    if (len > size) len = size;
    Received r;
    r.bytes.assign(data, data + len);
    r.from_ip = (flags & 1) ? kOtherIp : kBoxIp;
    r.from_port = (flags & 2) ? static_cast<uint16_t>(kBoxPort + 1) : kBoxPort;
    out.push_back(std::move(r));
    data += len;
    size -= len;
  }
  return out;
}

}  // namespace fuzz
