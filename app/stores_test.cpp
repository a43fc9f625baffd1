#include "app/stores.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/test_sensor.h"

namespace {

using report_test::capture_sink;
using report_test::split_lines;

constexpr int32_t kNewest = 1796685000;

// Sensor `port` (from 0) with `n` samples 0, 1, ... ten minutes apart.
report_test::sensor sensor_of(int port, int n) {
  SensorStatus st = report_test::example_status();
  st.port = static_cast<uint8_t>(port);
  st.logCapacity = 1000;
  std::vector<int32_t> values;
  for (int i = 0; i < n; ++i) values.push_back(i);
  report_test::sensor s;
  report_test::load(s, st, values);
  return s;
}

// A store on the other end of the poster: its answers by rule, and every
// line it acknowledged.
struct fake_store {
  // Answers a body, given its lines; 204 unless set.
  std::function<HttpResponse(const std::vector<std::string>&)> answer = [](const auto&) {
    HttpResponse r;
    r.status = 204;
    return r;
  };
  std::vector<std::string> kept;
  int requests = 0;
  std::vector<std::string> headers;

  store_push::poster poster() {
    return [this](const HttpRequest& req) {
      ++requests;
      headers.clear();
      for (const HttpHeader& h : req.headers) headers.push_back(h.name + ": " + h.value);
      const std::vector<std::string> lines = split_lines(std::string(req.body));
      HttpResponse r = answer(lines);
      if (r.status / 100 == 2) kept.insert(kept.end(), lines.begin(), lines.end());
      return r;
    };
  }
};

struct push_run {
  site_store store;
  capture_sink sink;
  output_context ctx;
  std::unique_ptr<store_push> push;

  push_run(fake_store& f, clock_type::time_point deadline = clock_type::now() + std::chrono::minutes(1)) {
    store.name = "lab";
    store.url = "http://127.0.0.1:9/write?db=site&precision=s";
    store.authorization = "Token t0ken";
    ctx.sink = &sink;
    ctx.box = "cold";
    push.reset(new store_push(store, f.poster(), deadline, ctx, "10.0.0.1"));
    push->retry_pause = std::chrono::milliseconds(1);
    push->most_samples = 4;
  }
};

// The time in seconds at the end of a line-protocol line.
long long time_of_line(const std::string& line) { return std::atoll(line.c_str() + line.rfind(' ') + 1); }

TEST(StorePush, SendsEverySampleInBodiesAndTalliesThem) {
  fake_store f;
  push_run run(f);
  const auto a = sensor_of(0, 5), b = sensor_of(1, 3);
  ASSERT_TRUE(run.push->add(a.view()));
  ASSERT_TRUE(run.push->add(b.view()));
  EXPECT_TRUE(run.push->finish());
  EXPECT_EQ(f.requests, 2);  // 8 samples, at most 4 a body
  ASSERT_EQ(f.kept.size(), 8u);
  EXPECT_EQ(f.kept.front(),
            "logfetch_temperature,box=cold,address=10.0.0.1,system_name=Server\\ room,port=1,"
            "slot=1,type=temperature,unit=C value=0 " + std::to_string(kNewest - 4 * 600));
  EXPECT_EQ(time_of_line(f.kept[4]), kNewest);
  EXPECT_NE(std::find(f.headers.begin(), f.headers.end(), "Authorization: Token t0ken"), f.headers.end());
  EXPECT_TRUE(run.push->delivered(0, 0, true));
  EXPECT_TRUE(run.push->delivered(1, 0, true));
  EXPECT_FALSE(run.push->delivered(2, 0, true));  // never given
  EXPECT_EQ(run.push->tally(), "lab: 8 samples sent");
  EXPECT_EQ(run.sink.text, "");
}

// A store that fails a request: tried twice, then said once with its
// words; sensors whose every sample was acknowledged are delivered, the
// others wait, and nothing after the failure is sent.
TEST(StorePush, AStoreDownKeepsWhatItDidNotAcknowledge) {
  const struct {
    int status;
    const char* error;
    int requests;  // for the 2 bodies
    const char* said;
  } cases[] = {
      {500, "", 3, "HTTP 500: boom"},
      {429, "", 3, "HTTP 429: boom"},
      {0, "Couldn't connect to server", 3, "Couldn't connect to server"},
      {404, "", 2, "HTTP 404: boom"},  // wrong, not down: no second try
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    fake_store f;
    f.answer = [&](const std::vector<std::string>& lines) {
      HttpResponse r;
      r.status = 204;
      // The second body: the last sample of port 2 and those of port 3.
      if (time_of_line(lines.front()) == kNewest) {
        r.status = c.status;
        r.first_line = "boom";
        r.error = c.error;
      }
      return r;
    };
    push_run run(f);
    const auto a = sensor_of(0, 3), b = sensor_of(1, 2), d = sensor_of(2, 3);
    run.push->add(a.view());
    run.push->add(b.view());
    run.push->add(d.view());
    EXPECT_FALSE(run.push->finish());
    EXPECT_EQ(f.requests, c.requests);
    EXPECT_EQ(f.kept.size(), 4u);
    EXPECT_TRUE(run.push->delivered(0, 0, false));
    EXPECT_FALSE(run.push->delivered(1, 0, false));
    EXPECT_FALSE(run.push->delivered(2, 0, false));
    EXPECT_EQ(run.sink.text, "Store lab at http://127.0.0.1:9/write: " + std::string(c.said) +
                                 ", 4 samples not sent.\n");
    EXPECT_EQ(run.push->tally(), "lab: 4 of 8 samples sent");
  }
}

// Samples a store refuses for good refuse their whole request: it is split
// until they stand alone, they are counted and said once per sensor, and
// the newer ones around them still go.
TEST(StorePush, SamplesRefusedForGoodDoNotHoldBackTheRest) {
  fake_store f;
  const long long oldest_taken = kNewest - 6 * 600;
  f.answer = [&](const std::vector<std::string>& lines) {
    HttpResponse r;
    r.status = 204;
    for (const std::string& l : lines)
      if (time_of_line(l) < oldest_taken) {
        r.status = 400;
        r.first_line = "out of bounds";
      }
    return r;
  };
  push_run run(f);
  run.push->most_samples = 5000;
  const auto a = sensor_of(0, 10), b = sensor_of(1, 4);
  run.push->add(a.view());
  run.push->add(b.view());
  EXPECT_TRUE(run.push->finish());
  EXPECT_EQ(f.kept.size(), 7u + 4u);
  for (const std::string& l : f.kept) EXPECT_GE(time_of_line(l), oldest_taken) << l;
  EXPECT_TRUE(run.push->delivered(0, 0, true));
  EXPECT_TRUE(run.push->delivered(1, 0, true));
  EXPECT_EQ(run.sink.text,
            "Store lab: port 1 slot 1: 3 samples refused for good (HTTP 400: out of bounds).\n");
  EXPECT_LE(f.requests, 12);
}

// With a window, samples older than the newest by more are not sent; a
// sensor all of whose samples are that old is done with all the same.
TEST(StorePush, AWindowLeavesOutWhatTheStoreWouldRefuse) {
  fake_store f;
  push_run run(f);
  run.store.window_seconds = 2 * 600;
  run.push.reset(new store_push(run.store, f.poster(), clock_type::now() + std::chrono::minutes(1),
                                run.ctx, "10.0.0.1"));
  auto old = sensor_of(1, 2);
  old.status.lastLogTime = kNewest - 3600;
  const auto a = sensor_of(0, 5);
  run.push->add(a.view());
  run.push->add(old.view());
  EXPECT_TRUE(run.push->finish());
  ASSERT_EQ(f.kept.size(), 3u);
  EXPECT_EQ(time_of_line(f.kept.front()), kNewest - 2 * 600);
  EXPECT_TRUE(run.push->delivered(1, 0, true));
  EXPECT_EQ(run.sink.text,
            "Store lab: port 1 slot 1: 2 samples older than its window, not sent.\n"
            "Store lab: port 2 slot 1: 2 samples older than its window, not sent.\n");
}

// Past the walk's deadline nothing is sent, and that is said.
TEST(StorePush, NothingGoesPastTheDeadline) {
  fake_store f;
  push_run run(f, clock_type::now() - std::chrono::seconds(1));
  const auto a = sensor_of(0, 2);
  run.push->add(a.view());
  EXPECT_FALSE(run.push->finish());
  EXPECT_EQ(f.requests, 0);
  EXPECT_FALSE(run.push->delivered(0, 0, false));
  EXPECT_EQ(run.sink.text,
            "Store lab at http://127.0.0.1:9/write: the walk's deadline has passed, 2 samples not sent.\n");
}

}  // namespace
