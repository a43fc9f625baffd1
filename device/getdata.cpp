#include "device/getdata.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "device/coding.h"

namespace {

// Enough to empty a socket's receive queue of small datagrams, yet bounded
// when a flood refills it as fast as we read.
constexpr int kMaxDiscarded = 512;

// The address of a box whose address text cannot be read: sends to it fail.
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// The samples keep their wire form: signed little-endian, oldest first.
void copy_samples(const uint8_t* from, int count, int size, uint8_t* to) {
  for (int i = 0; i < count; ++i, from += size, to += size) {
    switch (size) {
      case 1:
        to[0] = from[0];
        break;
      case 2:
        coding::put_u16_le(to, coding::get_u16_le(from));
        break;
      case 4:
        coding::put_u32_le(to, coding::get_u32_le(from));
        break;
    }
  }
}

// The typed form of a failed read's last_error. Socket error numbers start
// at 10000, so no value stands for two things.
read_result failure_of(int32_t error) {
  switch (error) {
    case kErrNoReply:
      return {read_outcome::no_reply, error};
    case kErrOldFirmware:
      return {read_outcome::old_firmware, error};
    case kErrEmptyLog:
      return {read_outcome::empty_log, error};
    case kErrInvalidLog:
      return {read_outcome::invalid_log, error};
    case kErrTimeout:
    case kErrNoStatusRecord:
    case kErrAbandoned:
      return {read_outcome::local_error, error};
    default:
      // Box bytes 0x80..0xFF, taken sign-extended.
      if (error < 0 && error >= -128) return {read_outcome::box_error, error};
      return {read_outcome::socket_error, error};
  }
}

}  // namespace

getdata::getdata(uint16_t box_port, int wait_ms) : box_port_(box_port), wait_ms_(wait_ms) {
  status.reset(new (std::nothrow) SensorStatus());
  startup_untold_ = !layer_.started();
}

getdata::~getdata() {
  // Before the socket layer goes.
  sock.close();
}

void getdata::set_listener(link_listener* listener) {
  listener_ = listener;
  if (listener_ != nullptr && startup_untold_) {
    startup_untold_ = false;
    listener_->startup_failed(layer_.error());
  }
}

int getdata::read_sensor(const char* address_text, const char* password, int port_index,
                         int slot_index) {
  address = address_text != nullptr ? address_text : "";
  uint32_t ip = 0;
  box_ip = parse_ipv4(address.c_str(), &ip) ? ip : kNoAddress;
  port = static_cast<uint8_t>(port_index);
  slot = static_cast<uint8_t>(slot_index);
  // Cut to the field as strncpy does: no terminator when 16 bytes or more.
  if (status) std::strncpy(status->password, password != nullptr ? password : "", kPasswordSize);

  result_ = read_result{};
  if (open_socket() == -1) {
    // Nothing can be read from here on; the caller ends the run.
    result_ = {read_outcome::no_socket, last_error};
    if (listener_ != nullptr) listener_->no_socket(last_error, select_failed_);
    close_socket();
    return -1;
  }
  if (readstatus() == -1) {
    result_ = failure_of(last_error);
    close_socket();
    return -1;
  }
  if (status->logCount == 0) {
    if (listener_ != nullptr) listener_->empty_log(port + 1);
    last_error = kErrEmptyLog;
    result_ = failure_of(last_error);
    close_socket();
    return -1;
  }
  // read_data refuses a datalog that cannot be downloaded (107).
  wanted_ = choose_samples && datalog_is_valid(*status) ? choose_samples(*this) : -1;
  const int result = read_data();
  wanted_ = -1;
  close_socket();
  if (result == -1) {
    result_ = failure_of(last_error);
    return -1;
  }
  return 0;
}

reading getdata::view() const {
  reading r;
  r.address = address.c_str();
  r.status = status.get();
  r.slot = slot;
  r.samples = samples.data();
  r.sample_size =
      (status && (status->sampleSize == 2 || status->sampleSize == 4)) ? status->sampleSize : 1;
  r.count = static_cast<int>(samples.size() / r.sample_size);
  return r;
}

int getdata::open_socket() {
  UdpStep failed = UdpStep::kCreate;
  int error = 0;
  select_failed_ = false;
  if (!sock.open(local, &failed, &error)) {
    last_error = error;
    select_failed_ = failed == UdpStep::kCreate;
    return -1;
  }
  return 0;
}

void getdata::close_socket() { sock.close(); }

int getdata::send_packet(const uint8_t* data, int length) {
  const Peer to{box_ip, box_port_};
  long sent = -1;
  int error = 0;
  int tries = 0;
  do {
    sent = sock.send_to(data, static_cast<size_t>(length), to, &error);
  } while (sent != -1 && sent != length && ++tries < kAttempts);
  if (sent == -1) {
    last_error = error;
    if (listener_ != nullptr) listener_->send_failed(last_error);
    return -1;
  }
  return static_cast<int>(sent);
}

int getdata::recv_packet(uint8_t* buffer, int size, int timeout_ms, Peer* from) {
  std::memset(buffer, 0, size);
  const UdpReceived r = sock.receive(buffer, static_cast<size_t>(size), timeout_ms);
  switch (r.what) {
    case UdpWhat::kDatagram:
      *from = r.from;
      return static_cast<int>(r.size);
    case UdpWhat::kTooLarge:
      // It cannot be a reply; handed on to be dropped like any other misfit.
      *from = r.from;
      return size;
    case UdpWhat::kNothing:
      last_error = kErrTimeout;
      return -1;
    case UdpWhat::kError:
      break;
  }
  last_error = r.error;
  return -1;
}

void getdata::discard_waiting() { sock.drain(recv_ptr, sizeof recv_buf, kMaxDiscarded); }

template <typename Judge>
Verdict getdata::attempt(Judge judge, int* len) {
  // What is queued now answers an earlier request, never this one.
  discard_waiting();
  send_packet(send_ptr, kRequestSize);
  last_error = 0;
  // The whole attempt shares one wait, so datagrams that do not match cannot
  // keep it going.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms_);
  for (;;) {
    const int left = udp_ms_left(deadline);
    if (left == 0) {
      last_error = kErrTimeout;
      return Verdict::kDrop;
    }
    Peer from;
    const int n = recv_packet(recv_ptr, sizeof recv_buf, left, &from);
    if (n == -1) return Verdict::kDrop;
    const Datagram d{recv_ptr, n, from.addr, from.port};
    const Verdict v = judge(d);
    if (v != Verdict::kDrop) {
      *len = n;
      return v;
    }
  }
}

Verdict getdata::take_status_reply(const Datagram& d) {
  const Expectation expected{box_ip, box_port_, port};
  const Verdict v = judge_status_reply(d, expected);
  // Every reply that answers the request leaves its code, also one dropped
  // for an unknown code.
  if (answers_status_request(d, expected)) status->replyCode = d.data[0];
  switch (v) {
    case Verdict::kOldFirmware:
      last_error = kErrOldFirmware;
      break;
    case Verdict::kAccept:
      decode_status(d.data, status.get());
      break;
    case Verdict::kBoxError:
      last_error = coding::get_i8(d.data);
      break;
    case Verdict::kDrop:
      break;
  }
  return v;
}

int getdata::readstatus() {
  if (!status) {
    if (listener_ != nullptr) listener_->no_status_record();
    last_error = kErrNoStatusRecord;
    return -1;
  }
  put_status_request(send_ptr, port, slot, status->password);
  const auto judge = [this](const Datagram& d) { return take_status_reply(d); };

  for (int i = 0; i < kAttempts; ++i) {
    int len = 0;
    if (on_attempt) on_attempt(*this, i + 1);
    const Verdict v = attempt(judge, &len);
    if (v == Verdict::kDrop) continue;
    if (v == Verdict::kOldFirmware) break;
    return v == Verdict::kAccept ? 0 : -1;
  }
  if (last_error == 0 || last_error == kErrTimeout) last_error = kErrNoReply;
  return -1;
}

bool getdata::begin_download() {
  // Contradictory ring values would overrun the sample buffer or divide by 0.
  if (!datalog_is_valid(*status)) {
    last_error = kErrInvalidLog;
    return false;
  }
  samples.resize(static_cast<size_t>(download_count()) * status->sampleSize);
  put_data_request_head(send_ptr, port, slot);
  return true;
}

int getdata::download_count() const {
  if (!status) return 0;
  const int all = status->logCount;
  return wanted_ < 0 || wanted_ > all ? all : wanted_;
}

int getdata::request_chunk(int done) {
  const SensorStatus& s = *status;
  const int total = download_count();
  const int asked = std::min(chunk_samples(s.sampleSize), total - done);
  // The newest `total` samples end just before the head.
  const int first = first_ring_index(s.logHead, static_cast<int16_t>(total), s.logCapacity);
  put_data_request_range(send_ptr, static_cast<uint16_t>((first + done) % s.logCapacity),
                         static_cast<uint16_t>(asked));
  return asked;
}

Verdict getdata::take_data_reply(const Datagram& d, int asked, int* done) {
  const int size = status->sampleSize;
  const Verdict v = judge_data_reply(d, Expectation{box_ip, box_port_, port}, asked, size);
  if (v == Verdict::kAccept) {
    // judge_data_reply let through only a count of 1 to `asked`.
    const int got = coding::get_i16_le(d.data + kDataCount);
    copy_samples(d.data + kDataReplyHeaderSize, got, size,
                 samples.data() + static_cast<size_t>(*done) * size);
    *done += got;
  } else if (v == Verdict::kBoxError) {
    last_error = coding::get_i8(d.data);
  }
  return v;
}

int getdata::read_data() {
  if (!status) {
    if (listener_ != nullptr) listener_->read_before_status();
    return -1;
  }
  if (!begin_download()) return -1;
  int done = 0;
  const int total = download_count();
  while (done < total) {
    const int asked = request_chunk(done);
    const auto judge = [&](const Datagram& d) { return take_data_reply(d, asked, &done); };
    Verdict v = Verdict::kDrop;
    int len = 0;
    for (int i = 0; i < kAttempts && v == Verdict::kDrop; ++i) {
      if (on_attempt) on_attempt(*this, i + 1);
      v = attempt(judge, &len);
    }
    if (v == Verdict::kDrop) {
      last_error = kErrNoReply;
      return -1;
    }
    if (v != Verdict::kAccept) return -1;
    if (progress) progress(*this, done, total);
  }
  return 0;
}
