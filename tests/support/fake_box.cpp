#include "tests/support/fake_box.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "device/coding.h"

namespace {
sockaddr_in make_addr(const std::string& addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("bad address " + addr);
  return a;
}

int bound_socket(const std::string& addr, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = make_addr(addr, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("bind failed on " + addr + ":" + std::to_string(port) + ": " +
                             std::strerror(errno));
  }
  return fd;
}
}  // namespace

FakeBox::FakeBox(const std::string& addr, uint16_t port, FakeHandler handler)
    : addr_(addr), handler_(std::move(handler)) {
  fd_ = bound_socket(addr, port);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeBox::~FakeBox() {
  stop_ = true;
  thread_.join();
  close(fd_);
}

std::vector<Bytes> FakeBox::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void FakeBox::serve() {
  uint8_t buf[2048];
  int index = 0;
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    Bytes req(buf, buf + n);
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(req);
    }
    for (const FakeReply& r : handler_(req, index)) send_reply(r, &from, from_len);
    ++index;
  }
}

void FakeBox::send_reply(const FakeReply& r, const void* to, unsigned to_len) {
  if (r.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
  const auto* dest = static_cast<const sockaddr*>(to);
  if (r.from_port == 0 && !r.other_port && r.from_addr.empty()) {
    sendto(fd_, r.bytes.data(), r.bytes.size(), 0, dest, to_len);
    return;
  }
  const uint16_t from_port = r.other_port ? 0 : (r.from_port == 0 ? port_ : r.from_port);
  int fd = bound_socket(r.from_addr.empty() ? addr_ : r.from_addr, from_port);
  sendto(fd, r.bytes.data(), r.bytes.size(), 0, dest, to_len);
  close(fd);
}

SensorStatus make_status(uint8_t port, uint8_t type, int16_t capacity, int16_t head, int16_t count,
                         uint8_t sample_size) {
  SensorStatus s{};
  s.replyCode = kStatusReplyCode;
  s.port = port;
  s.sensorType = type;
  s.deviceTime = 1796685429;
  s.lastLogTime = 1796685000;
  s.logHead = head;
  s.logCount = count;
  s.sampleSize = sample_size;
  s.logInterval = 10;
  s.logCapacity = capacity;
  std::strcpy(s.description, "Rack inlet");
  std::strcpy(s.systemName, "Server room");
  std::strcpy(s.unit, "C");
  return s;
}

Bytes status_reply(const SensorStatus& s) {
  Bytes b(kStatusReplySize);
  encode_status(s, b.data());
  return b;
}

Bytes error_reply(uint8_t code, uint8_t port, int len) {
  Bytes b(len, 0);
  b[0] = code;
  if (len > 1) b[1] = port;
  return b;
}

Bytes data_reply(const FakeSensor& s, int start, int asked, int count_field) {
  const int size = s.status.sampleSize;
  Bytes b(kDataReplyHeaderSize + asked * size, 0);
  b[0] = kDataReplyCode;
  b[1] = s.status.port;
  coding::put_u16_le(b.data() + kDataCount, static_cast<uint16_t>(count_field));
  const int cap = static_cast<int>(s.ring.size());
  for (int i = 0; i < asked && cap > 0; ++i) {
    const uint32_t v = static_cast<uint32_t>(s.ring[(start + i) % cap]);
    uint8_t* p = b.data() + kDataReplyHeaderSize + i * size;
    if (size == 1) p[0] = static_cast<uint8_t>(v);
    if (size == 2) coding::put_u16_le(p, static_cast<uint16_t>(v));
    if (size == 4) coding::put_u32_le(p, v);
  }
  return b;
}

FakeReply reply(Bytes bytes) {
  FakeReply r;
  r.bytes = std::move(bytes);
  return r;
}

FakeHandler serve_sensors(std::vector<FakeSensor> sensors, uint8_t absent) {
  return [sensors = std::move(sensors), absent](const Bytes& req, int) -> std::vector<FakeReply> {
    if (req.size() != kRequestSize) return {};
    const uint8_t port = req[kReqPort], slot = req[kReqSlot];
    const size_t i = port * 2u + slot;
    const FakeSensor* s = i < sensors.size() && sensors[i].status.replyCode ? &sensors[i] : nullptr;
    if (req[kReqCode] == kStatusRequestCode) {
      if (!s) return {reply(error_reply(absent, port, kStatusReplySize))};
      return {reply(status_reply(s->status))};
    }
    if (req[kReqCode] == kDataRequestCode && s) {
      const int start = coding::get_u16_le(req.data() + kReqStart);
      const int asked = coding::get_u16_le(req.data() + kReqCount);
      return {reply(data_reply(*s, start, asked, asked))};
    }
    return {};
  };
}
