// The box's UDP messages: sizes, codes, the decoded status record, the sensor
// type names, and the pure tests that decide whether a datagram answers a
// request. Nothing here touches a socket.
#pragma once

#include <cstddef>
#include <cstdint>

// The product name, wherever a message or report names the box.
constexpr char kProductName[] = "Vellorix";

constexpr uint16_t kBoxPort = 811;
constexpr int kReplyWaitMs = 5000;
constexpr int kAttempts = 5;

constexpr int kRequestSize = 24;
constexpr int kStatusReplySize = 132;
constexpr int kOldFirmwareReplySize = 124;
constexpr int kDataReplyHeaderSize = 23;
constexpr int kMaxChunkBytes = 1146;  // sample bytes in one data reply
constexpr int kPasswordSize = 16;
constexpr int kDescriptionSize = 36;
constexpr int kSystemNameSize = 36;
constexpr int kUnitSize = 16;

constexpr uint8_t kDataReplyCode = 1;
constexpr uint8_t kStatusRequestCode = 2;
constexpr uint8_t kDataRequestCode = 3;
constexpr uint8_t kStatusReplyCode = 4;

// Box error bytes (top bit set).
constexpr uint8_t kBoxWrongPassword = 0xFA;
constexpr uint8_t kBoxErrorFB = 0xFB;
constexpr uint8_t kBoxErrorFC = 0xFC;
constexpr uint8_t kBoxPortOffline = 0xFD;
constexpr uint8_t kBoxNoDatalog = 0xFE;

// Local result codes left in getdata::last_error.
constexpr int32_t kErrTimeout = 100;
constexpr int32_t kErrNoStatusRecord = 101;
constexpr int32_t kErrAbandoned = 102;
constexpr int32_t kErrNoReply = 103;
constexpr int32_t kErrOldFirmware = 105;
constexpr int32_t kErrEmptyLog = 106;
constexpr int32_t kErrInvalidLog = 107;

// Request byte offsets.
constexpr int kReqCode = 0;
constexpr int kReqPort = 1;
constexpr int kReqSlot = 2;
constexpr int kReqStart = 3;     // u16 LE, data request only
constexpr int kReqCount = 5;     // u16 LE, data request only
constexpr int kReqPassword = 7;  // 16 bytes

// Status reply byte offsets; bytes 27-42 are not read.
constexpr int kStCode = 0;
constexpr int kStPort = 1;
constexpr int kStType = 2;
constexpr int kStDeviceTime = 3;   // i32 BE
constexpr int kStLastLogTime = 7;  // i32 BE
constexpr int kStHead = 11;        // i16 BE
constexpr int kStCount = 13;       // i16 BE
constexpr int kStSampleSize = 15;
constexpr int kStInterval = 16;
constexpr int kStCapacity = 17;  // i16 BE
constexpr int kStInstHigh = 19;  // i16 LE, as the three below
constexpr int kStInstLow = 21;
constexpr int kStAvgLow = 23;
constexpr int kStAvgHigh = 25;
constexpr int kStDescription = 43;  // 36 bytes
constexpr int kStSystemName = 79;   // 36 bytes
constexpr int kStUnit = 115;        // 16 bytes
constexpr int kStTimeZone = 131;

// Data reply byte offsets.
constexpr int kDataCount = 5;  // i16 LE

struct SensorStatus {
  uint8_t replyCode;
  uint8_t port;
  uint8_t sensorType;
  int32_t deviceTime;
  int32_t lastLogTime;
  int16_t logHead;
  int16_t logCount;
  uint8_t sampleSize;
  uint8_t logInterval;
  int16_t logCapacity;
  int16_t instHigh;
  int16_t instLow;
  int16_t avgLow;
  int16_t avgHigh;
  char password[kPasswordSize];
  char description[kDescriptionSize];
  char systemName[kSystemNameSize];
  char unit[kUnitSize];
  uint8_t timeZone;
};

constexpr int kSensorTypeCount = 18;
extern const char* const sensor_type_names[kSensorTypeCount];

// Name word of a type code; codes without a table entry get the empty word.
const char* sensor_type_name(uint8_t code);

// Types 2 (4-20 mA) and 5 (A/D) carry tenths of their unit.
bool is_tenths_type(uint8_t code);

// Fills every field but `password` from a 132-byte status reply.
void decode_status(const uint8_t* reply, SensorStatus* status);

// The inverse, for simulated boxes and tests: 132 bytes, byte 0 from
// status.replyCode, bytes 27-42 zero.
void encode_status(const SensorStatus& status, uint8_t* reply);

// Writes bytes 0, 1, 2 and 7-22 of a status request; nothing else.
void put_status_request(uint8_t* buf, uint8_t port, uint8_t slot, const char* password16);
// Writes bytes 0, 1 and 2 of a data request.
void put_data_request_head(uint8_t* buf, uint8_t port, uint8_t slot);
// Writes bytes 3-6 of a data request.
void put_data_request_range(uint8_t* buf, uint16_t start, uint16_t count);

// Samples asked for in one data request: 1146 bytes' worth.
int chunk_samples(int sample_size);
// Ring index of the oldest sample.
int first_ring_index(int16_t head, int16_t count, int16_t capacity);

// Whether the status values describe a datalog that can be downloaded:
// sample width 1, 2 or 4, capacity at least 1, count and head within it.
bool datalog_is_valid(const SensorStatus& status);

// A received datagram together with its sender.
struct Datagram {
  const uint8_t* data;
  int len;
  uint32_t from_ip;    // network order, as in sockaddr_in
  uint16_t from_port;  // host order
};

// Where the reply must come from and what it must answer.
struct Expectation {
  uint32_t box_ip;    // network order
  uint16_t box_port;  // host order
  uint8_t port;       // sensor port of the request
};

enum class Verdict {
  kDrop,         // not an answer to the request; keep receiving
  kAccept,       // the awaited reply (status reply, or data reply)
  kBoxError,     // an error reply from the box: byte 0 has its top bit set
  kOldFirmware,  // a 124-byte datagram while a status reply is awaited
};

// A status-length datagram from the box naming the port asked about, whatever
// its code byte.
bool answers_status_request(const Datagram& d, const Expectation& e);
Verdict judge_status_reply(const Datagram& d, const Expectation& e);
// asked_count: samples asked for; sample_size: 1, 2 or 4. A data reply whose
// own count is below 1 or above asked_count is dropped.
Verdict judge_data_reply(const Datagram& d, const Expectation& e, int asked_count, int sample_size);

// Reads an IPv4 address text in the forms inet_aton accepts (a, a.b, a.b.c,
// a.b.c.d; each part decimal, octal with a leading 0, or hex with 0x).
// Returns false for anything else. *addr is in network order.
bool parse_ipv4(const char* text, uint32_t* addr);
