#include <gtest/gtest.h>
#include <snappy.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "report/protobuf.h"
#include "report/remote_write.h"
#include "report/snappy.h"
#include "report/store_batches.h"
#include "report/store_reply.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : s) {
    const auto b = static_cast<uint8_t>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

TEST(Protobuf, VarintsAndFixed64sByteForByte) {
  struct Varint {
    uint64_t v;
    std::string want;
  };
  const Varint varints[] = {
      {0, bytes({0x00})},
      {1, bytes({0x01})},
      {127, bytes({0x7f})},
      {128, bytes({0x80, 0x01})},
      {300, bytes({0xac, 0x02})},
      {1796685000000, bytes({0xc0, 0xda, 0x95, 0x96, 0xa5, 0x34})},
      {UINT64_MAX, bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
  };
  for (const Varint& c : varints) {
    std::string out;
    protobuf::put_varint(&out, c.v);
    EXPECT_EQ(hex(out), hex(c.want)) << c.v;
    EXPECT_EQ(protobuf::varint_size(c.v), c.want.size()) << c.v;
  }
  std::string out;
  protobuf::put_int64_varint(&out, -1);
  EXPECT_EQ(hex(out), hex(bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})));
  out.clear();
  protobuf::put_fixed64_le(&out, 0x0102030405060708u);
  EXPECT_EQ(hex(out), hex(bytes({8, 7, 6, 5, 4, 3, 2, 1})));
  out.clear();
  protobuf::put_double_le(&out, 21.5);  // 0x4035800000000000
  EXPECT_EQ(hex(out), hex(bytes({0, 0, 0, 0, 0, 0x80, 0x35, 0x40})));
}

TEST(RemoteWrite, AKnownRequestByteForByte) {
  // __name__="m", a="1", b="2" (sorted; e="" left out); samples 1.0 at 1 s
  // and 21.5 at -1 s (a clock before 1970: ten varint bytes).
  const std::string labels = remote_write_labels("m", {{"b", "2"}, {"e", ""}, {"a", "1"}});
  const remote_write_sample samples[] = {{1.0, 1000}, {21.5, -1000}};
  std::string request;
  append_time_series(&request, labels, samples, 2);
  const std::string want = bytes({
      0x0a, 0x43,                                                  // timeseries, 67 bytes
      0x0a, 0x0d,                                                  //  label, 13 bytes
      0x0a, 0x08, '_', '_', 'n', 'a', 'm', 'e', '_', '_',          //   name
      0x12, 0x01, 'm',                                             //   value
      0x0a, 0x06, 0x0a, 0x01, 'a', 0x12, 0x01, '1',                //  label a="1"
      0x0a, 0x06, 0x0a, 0x01, 'b', 0x12, 0x01, '2',                //  label b="2"
      0x12, 0x0c,                                                  //  sample, 12 bytes
      0x09, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f,                          //   1.0
      0x10, 0xe8, 0x07,                                            //   1000
      0x12, 0x14,                                                  //  sample, 20 bytes
      0x09, 0, 0, 0, 0, 0, 0x80, 0x35, 0x40,                       //   21.5
      0x10, 0x98, 0xf8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01,  //   -1000
  });
  EXPECT_EQ(hex(request), hex(want));
}

TEST(RemoteWrite, LabelsSortedByNameWithoutEmptiesOrRepeats) {
  // Decoded back as name=value pairs in order.
  const std::string labels =
      remote_write_labels("logfetch_temperature", {{"address", "10.0.0.1"},
                                                   {"system_name", "Lab"},
                                                   {"port", "1"},
                                                   {"slot", "2"},
                                                   {"type", "temperature"},
                                                   {"unit", ""},
                                                   {"port", "9"}});
  std::vector<std::string> names;
  for (size_t i = 0; i < labels.size();) {
    const size_t len = static_cast<uint8_t>(labels[i + 1]);
    const std::string label = labels.substr(i + 2, len);
    const size_t name_len = static_cast<uint8_t>(label[1]);
    names.push_back(label.substr(2, name_len) + "=" + label.substr(2 + name_len + 2));
    i += 2 + len;
  }
  const std::vector<std::string> want = {"__name__=logfetch_temperature", "address=10.0.0.1", "port=1",
                                         "slot=2", "system_name=Lab", "type=temperature"};
  EXPECT_EQ(names, want);
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

TEST(Snappy, OwnEncoderRoundTripsThroughTheLibrary) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "logfetch_temperature,address=10.0.0.1 value=" + std::to_string(i % 37) + "\n";
  struct Case {
    const char* what;
    std::string in;
    bool compressible;
  };
  const Case cases[] = {
      {"empty", "", false},
      {"one byte", "a", false},
      {"fifteen bytes", "abcabcabcabcabc", false},
      {"sixteen bytes", "abcdabcdabcdabcd", false},
      {"a long run", std::string(200000, 'a'), true},
      {"exactly one block", std::string(65536, 'z'), true},
      {"a block and one byte", std::string(65537, 'z'), true},
      {"line protocol", text, true},
      {"incompressible", random_bytes(300000, 1), false},
      {"long literal then copies", random_bytes(70000, 2) + std::string(1000, 'q'), false},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Literals at the lengths where their tag changes form.
  for (size_t n : {59u, 60u, 61u, 62u, 255u, 256u, 257u, 65535u, 65536u})
    all.push_back({"literal", random_bytes(n, static_cast<uint32_t>(n)), false});
  // A repeat of 8 bytes at distances where the copy's offset changes form:
  // the bytes, zeros up to the distance (copied from themselves, so the
  // search keeps pace), the bytes again.
  for (size_t gap : {2047u, 2048u, 2049u, 65520u}) {
    const std::string x = "\x11\x22\x33\x44\x55\x66\x77\x88";
    all.push_back({"repeat", x + std::string(gap - 8, '\0') + x + "\xff", true});
  }
  for (const Case& c : all) {
    for (const bool own : {true, false}) {
      std::string packed, back;
      if (own) {
        snappy_compress_own(c.in, &packed);
      } else {
        snappy_compress(c.in, &packed);
      }
      ASSERT_TRUE(snappy::IsValidCompressedBuffer(packed.data(), packed.size())) << c.what;
      ASSERT_TRUE(snappy::Uncompress(packed.data(), packed.size(), &back)) << c.what;
      EXPECT_TRUE(back == c.in) << c.what << (own ? " (own)" : " (library)");
      EXPECT_LE(packed.size(), snappy::MaxCompressedLength(c.in.size())) << c.what;
      if (c.compressible) {
        EXPECT_LT(packed.size(), c.in.size() / 4) << c.what;
      }
    }
  }
}

// The WriteRequest of a remote-write body, decoded for the checks below.
struct DecodedSeries {
  std::string name;
  std::vector<std::pair<double, int64_t>> samples;
};

uint64_t read_varint(const std::string& s, size_t* i) {
  uint64_t v = 0;
  for (int shift = 0; *i < s.size(); shift += 7) {
    const auto b = static_cast<uint8_t>(s[(*i)++]);
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
  }
  return v;
}

std::vector<DecodedSeries> decode_request(const std::string& body) {
  std::string raw;
  EXPECT_TRUE(snappy::Uncompress(body.data(), body.size(), &raw));
  std::vector<DecodedSeries> out;
  for (size_t i = 0; i < raw.size();) {
    EXPECT_EQ(raw[i++], 0x0a);
    const size_t end = i + read_varint(raw, &i);
    DecodedSeries s;
    while (i < end) {
      const auto key = static_cast<uint8_t>(raw[i++]);
      const size_t len = read_varint(raw, &i);
      const std::string field = raw.substr(i, len);
      i += len;
      if (key == 0x0a && field.compare(2, 8, "__name__") == 0) s.name = field.substr(12);
      if (key != 0x12) continue;
      size_t j = 1;
      uint64_t bits = 0;
      for (int b = 7; b >= 0; --b) bits = (bits << 8) | static_cast<uint8_t>(field[j + b]);
      j += 9;
      double v;
      std::memcpy(&v, &bits, sizeof v);
      s.samples.push_back({v, static_cast<int64_t>(read_varint(field, &j))});
    }
    out.push_back(s);
  }
  return out;
}

store_series make_series(const std::string& family, int32_t first, uint32_t step, size_t n, bool tenths = false) {
  store_series s;
  s.family = family;
  s.labels = {{"address", "192.168.0.10"}, {"system_name", "Server room"}, {"port", "1"},
              {"slot", "1"},           {"type", "temperature"},      {"unit", "C"}};
  s.tenths = tenths;
  s.first = first;
  s.step = step;
  for (size_t k = 0; k < n; ++k) s.values.push_back(static_cast<int32_t>(k % 1000) - 500);
  return s;
}

TEST(StoreBatches, LineProtocolAsTheExportWritesIt) {
  store_series s = make_series("logfetch_temperature", 1796685000, 600, 2);
  s.values = {21, -5};
  store_series tenths = make_series("logfetch_4_20ma", 0, 60, 1, true);
  tenths.values = {125};
  tenths.labels[5].value = "";  // a tag without a value is left out
  const std::vector<store_series> series = {s, store_series{}, tenths};
  struct Case {
    lp_precision precision;
    std::string want;
  };
  const Case cases[] = {
      {lp_precision::kNanoseconds,
       "logfetch_temperature,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature,unit=C value=21 1796685000000000000\n"
       "logfetch_temperature,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature,unit=C value=-5 1796685600000000000\n"
       "logfetch_4_20ma,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature value=12.5 0\n"},
      {lp_precision::kSeconds,
       "logfetch_temperature,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature,unit=C value=21 1796685000\n"
       "logfetch_temperature,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature,unit=C value=-5 1796685600\n"
       "logfetch_4_20ma,address=192.168.0.10,system_name=Server\\ room,port=1,slot=1,type=temperature value=12.5 0\n"},
  };
  for (const Case& c : cases) {
    store_batch_options o;
    o.precision = c.precision;
    store_batcher batcher(series, o);
    store_batch b;
    ASSERT_TRUE(batcher.next(&b));
    EXPECT_EQ(b.body, c.want);
    EXPECT_EQ(b.samples, 3u);
    EXPECT_FALSE(batcher.next(&b));
  }
}

TEST(StoreBatches, NeverMoreThanTheLimitAndEverySampleOnce) {
  // 12,000 + 3,000 samples: 5,000 + 5,000 + (2,000 + 3,000).
  const std::vector<store_series> series = {make_series("logfetch_a", 1000000, 60, 12000),
                                            make_series("logfetch_b", 1000000, 300, 3000, true)};
  for (const store_format format : {store_format::kLineProtocol, store_format::kRemoteWrite}) {
    store_batch_options o;
    o.format = format;
    o.own_snappy = true;
    store_batcher batcher(series, o);
    store_batch b;
    std::vector<size_t> sizes;
    size_t covered = 0;
    std::vector<std::pair<double, int64_t>> b_samples;
    while (batcher.next(&b)) {
      sizes.push_back(b.samples);
      for (const series_part& p : b.parts) covered += p.end - p.begin;
      if (format == store_format::kLineProtocol) {
        EXPECT_EQ(static_cast<size_t>(std::count(b.body.begin(), b.body.end(), '\n')), b.samples);
      } else {
        size_t in_body = 0;
        for (const DecodedSeries& s : decode_request(b.body)) {
          in_body += s.samples.size();
          if (s.name == "logfetch_b") b_samples.insert(b_samples.end(), s.samples.begin(), s.samples.end());
        }
        EXPECT_EQ(in_body, b.samples);
      }
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{5000, 5000, 5000}));
    EXPECT_EQ(covered, 15000u);
    if (format == store_format::kRemoteWrite) {
      ASSERT_EQ(b_samples.size(), 3000u);
      EXPECT_EQ(b_samples.front(), std::make_pair(-50.0, int64_t{1000000000}));
      EXPECT_EQ(b_samples.back(), std::make_pair(49.9, (1000000 + 2999 * int64_t{300}) * 1000));
    }
  }
}

TEST(StoreBatches, RemoteWriteKeepsEachSeriesInTimeOrder) {
  // The box's 32-bit clock wraps after the third sample; a logging interval
  // of 0 gives every sample the same time. Only samples later than the one
  // sent before them go.
  struct Case {
    const char* what;
    store_series series;
    size_t most;
    size_t sent;
  };
  const Case cases[] = {
      {"wrapping clock", make_series("logfetch_w", INT32_MAX - 130, 60, 6), 5000, 3},
      {"wrapping clock, one sample a batch", make_series("logfetch_w", INT32_MAX - 130, 60, 6), 1, 3},
      {"interval 0", make_series("logfetch_z", 1000, 0, 7000), 5000, 1},
  };
  for (const Case& c : cases) {
    store_batch_options o;
    o.format = store_format::kRemoteWrite;
    o.most_samples = c.most;
    const std::vector<store_series> series = {c.series};
    store_batcher batcher(series, o);
    store_batch b;
    std::vector<int64_t> times;
    while (batcher.next(&b)) {
      for (const DecodedSeries& s : decode_request(b.body)) {
        for (const auto& sample : s.samples) times.push_back(sample.second);
      }
    }
    EXPECT_EQ(times.size(), c.sent) << c.what;
    for (size_t i = 1; i < times.size(); ++i) EXPECT_LT(times[i - 1], times[i]) << c.what;
  }
}

TEST(StoreBatches, PrecisionFromTheUrl) {
  struct Case {
    const char* query;
    bool ok;
    lp_precision want;
  };
  const Case cases[] = {
      {"db=x", true, lp_precision::kNanoseconds},
      {"db=x&precision=ns", true, lp_precision::kNanoseconds},
      {"precision=n", true, lp_precision::kNanoseconds},
      {"precision=u", true, lp_precision::kMicroseconds},
      {"precision=us", true, lp_precision::kMicroseconds},
      {"precision=ms", true, lp_precision::kMilliseconds},
      {"org=o&bucket=b&precision=s", true, lp_precision::kSeconds},
      {"precision=m", false, lp_precision::kNanoseconds},
      {"precision=h", false, lp_precision::kNanoseconds},
      {"precision=", false, lp_precision::kNanoseconds},
  };
  for (const Case& c : cases) {
    lp_precision p = lp_precision::kNanoseconds;
    std::string error;
    EXPECT_EQ(lp_precision_of(c.query, &p, &error), c.ok) << c.query;
    if (c.ok) {
      EXPECT_EQ(p, c.want) << c.query;
    } else {
      EXPECT_FALSE(error.empty()) << c.query;
    }
  }
}

TEST(StoreReply, EachAnswerJudged) {
  struct Case {
    int status;
    const char* first_line;
    const char* error;
    push_verdict want;
    const char* text;
  };
  const Case cases[] = {
      {204, "", "", push_verdict::kAcknowledged, "HTTP 204"},
      {200, "{}", "", push_verdict::kAcknowledged, "HTTP 200: {}"},
      {0, "", "Failed to connect to 127.0.0.1 port 9 after 0 ms: Connection refused",
       push_verdict::kStoreDown, "Failed to connect to 127.0.0.1 port 9 after 0 ms: Connection refused"},
      {503, "Service Unavailable", "", push_verdict::kStoreDown, "HTTP 503: Service Unavailable"},
      {500, "", "", push_verdict::kStoreDown, "HTTP 500"},
      {429, "too many requests", "", push_verdict::kStoreDown, "HTTP 429: too many requests"},
      {400, "out of bounds", "", push_verdict::kSamplesRefused, "HTTP 400: out of bounds"},
      {500, "too old sample", "", push_verdict::kSamplesRefused, "HTTP 500: too old sample"},
      {400, "out of order sample", "", push_verdict::kSamplesRefused, "HTTP 400: out of order sample"},
      {400, "duplicate sample for timestamp", "", push_verdict::kSamplesRefused,
       "HTTP 400: duplicate sample for timestamp"},
      {503, "out of bounds", "", push_verdict::kStoreDown, "HTTP 503: out of bounds"},
      {400, "{\"error\":\"unable to parse 'x': missing fields\"}", "", push_verdict::kRefused,
       "HTTP 400: {\"error\":\"unable to parse 'x': missing fields\"}"},
      {401, "unauthorized access", "", push_verdict::kRefused, "HTTP 401: unauthorized access"},
      {404, "404 page not found", "", push_verdict::kRefused, "HTTP 404: 404 page not found"},
      {307, "", "", push_verdict::kRefused, "HTTP 307"},
  };
  for (const Case& c : cases) {
    HttpResponse r;
    r.status = c.status;
    r.first_line = c.first_line;
    r.error = c.error;
    const push_judgement j = judge_push(r);
    EXPECT_EQ(j.verdict, c.want) << c.status << " " << c.first_line;
    EXPECT_EQ(j.text, c.text);
  }
}

}  // namespace
