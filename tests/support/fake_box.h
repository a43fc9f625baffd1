// An in-process box for tests: a thread that answers each datagram it
// receives with whatever the test's handler returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/messages.h"

struct FakeReply {
  std::vector<uint8_t> bytes;
  uint16_t from_port = 0;   // 0: the box's own port
  bool other_port = false;  // sent from a free port the system picks
  std::string from_addr;    // empty: the box's own address
  int delay_ms = 0;         // waited before sending
};

using Bytes = std::vector<uint8_t>;
// Called for every datagram received, with its index counted from 0.
using FakeHandler = std::function<std::vector<FakeReply>(const Bytes& request, int index)>;

class FakeBox {
 public:
  // Binds addr:port (port 0: a free port) and serves until destroyed.
  FakeBox(const std::string& addr, uint16_t port, FakeHandler handler);
  ~FakeBox();
  FakeBox(const FakeBox&) = delete;
  FakeBox& operator=(const FakeBox&) = delete;

  uint16_t port() const { return port_; }
  const std::string& addr() const { return addr_; }
  std::vector<Bytes> requests() const;

 private:
  void serve();
  void send_reply(const FakeReply& r, const void* to, unsigned to_len);

  std::string addr_;
  uint16_t port_ = 0;
  int fd_ = -1;
  FakeHandler handler_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<Bytes> requests_;
  std::thread thread_;
};

// A sensor of the fake box: its status and its whole ring of samples.
struct FakeSensor {
  SensorStatus status;        // replyCode 4, port, sizes, ring position, texts
  std::vector<int32_t> ring;  // logCapacity entries
};

// A ready-made status record; the caller adjusts what the test needs.
SensorStatus make_status(uint8_t port, uint8_t type, int16_t capacity, int16_t head, int16_t count,
                         uint8_t sample_size);

Bytes status_reply(const SensorStatus& s);
Bytes error_reply(uint8_t code, uint8_t port, int len);
// A data reply with `count` in bytes 5-6 and the samples ring[start..start+n)
// wrapping at the ring's end; n = asked samples, so the length fits the ask.
Bytes data_reply(const FakeSensor& s, int start, int asked, int count_field);

// A reply from the box's own address and port, sent at once.
FakeReply reply(Bytes bytes);

// Answers status and data requests from `sensors` (indexed port * 2 + slot;
// a missing sensor answers the error byte `absent`).
FakeHandler serve_sensors(std::vector<FakeSensor> sensors, uint8_t absent = kBoxNoDatalog);
