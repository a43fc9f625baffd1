#include "platform/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(HttpUrlParse, TakesHttpAndHttpsAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool ok;
    const char* scheme = "";
    const char* host = "";
    uint16_t port = 0;
    const char* path = "";
    const char* query = "";
  };
  const Case cases[] = {
      {"http://127.0.0.1:8086/write?db=site&precision=s", true, "http", "127.0.0.1", 8086, "/write",
       "db=site&precision=s"},
      {"HTTPS://influx.example.org/api/v2/write?org=o&bucket=b", true, "https", "influx.example.org",
       443, "/api/v2/write", "org=o&bucket=b"},
      {"http://vm:8428", true, "http", "vm", 8428, "/", ""},
      {"http://vm", true, "http", "vm", 80, "/", ""},
      {"http://vm:8428?x=1", true, "http", "vm", 8428, "/", "x=1"},
      {"http://[::1]:9090/api/v1/write", true, "http", "::1", 9090, "/api/v1/write", ""},
      {"http://h:65535/", true, "http", "h", 65535, "/", ""},
      {"ftp://h/", false},
      {"file:///etc/passwd", false},
      {"h:8086/write", false},
      {"http://user:secret@h/write", false},
      {"http://token@h/write", false},
      {"http://h/write#frag", false},
      {"http://h:0/", false},
      {"http://h:65536/", false},
      {"http://h:99999999999999999999/", false},
      {"http://h:/", false},
      {"http://h:80x/", false},
      {"http:///write", false},
      {"http://h /write", false},
      {"http://h/wr\nite", false},
      {"http://h\xc3\xa9/", false},
      {"http://h%41/", false},
      {"http://[::1/", false},
      {"http://[::1]x/", false},
      {"http://[zz]/", false},
  };
  for (const Case& c : cases) {
    HttpUrl url;
    std::string error;
    const bool ok = parse_http_url(c.text, &url, &error);
    ASSERT_EQ(ok, c.ok) << c.text << ": " << error;
    if (!ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      // A refused URL is never echoed: it may hold a password.
      EXPECT_EQ(error.find("secret"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(url.scheme, c.scheme) << c.text;
    EXPECT_EQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
    EXPECT_EQ(url.path, c.path) << c.text;
    EXPECT_EQ(url.query, c.query) << c.text;
  }
}

TEST(HttpUrlParse, ShownFormLeavesTheQueryOut) {
  HttpUrl url;
  std::string error;
  ASSERT_TRUE(parse_http_url("http://h:8086/write?db=x&p=secret", &url, &error));
  EXPECT_EQ(url.shown(), "http://h:8086/write");
  EXPECT_EQ(url.target(), "/write?db=x&p=secret");
  ASSERT_TRUE(parse_http_url("http://[::1]/write", &url, &error));
  EXPECT_EQ(url.shown(), "http://[::1]:80/write");
}

TEST(HttpUrlParse, QueryValues) {
  struct Case {
    const char* query;
    const char* name;
    bool found;
    const char* value;
  };
  const Case cases[] = {
      {"db=site&precision=s", "precision", true, "s"},
      {"db=site&precision=s", "db", true, "site"},
      {"db=site&precision=s", "org", false, ""},
      {"bucket=my%20bucket&org=a+b", "bucket", true, "my bucket"},
      {"bucket=my%20bucket&org=a+b", "org", true, "a b"},
      {"p%72ecision=ms", "precision", true, "ms"},
      {"precision", "precision", true, ""},
      {"precisionx=1&precision=2", "precision", true, "2"},
      {"a=%zz%4", "a", true, "%zz%4"},
      {"", "a", false, ""},
      {"&&a=1", "a", true, "1"},
  };
  for (const Case& c : cases) {
    std::string value = "unset";
    EXPECT_EQ(http_query_value(c.query, c.name, &value), c.found) << c.query << " " << c.name;
    if (c.found) {
      EXPECT_EQ(value, c.value) << c.query << " " << c.name;
    }
  }
}

TEST(HttpHeaders, OnlyWellFormedHeadersGo) {
  struct Case {
    HttpHeader header;
    bool ok;
  };
  const Case cases[] = {
      {{"Authorization", "Token abc=="}, true},
      {{"X-Prometheus-Remote-Write-Version", "0.1.0"}, true},
      {{"X-Tab", "a\tb"}, true},
      {{"", "x"}, false},
      {{"Bad Name", "x"}, false},
      {{"Bad:Name", "x"}, false},
      {{"X", "a\r\nInjected: yes"}, false},
      {{"X", "a\nb"}, false},
      {{"X", std::string("a\0b", 3)}, false},
      {{"X", "a\x7f"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(http_header_ok(c.header), c.ok) << c.header.name;
}

TEST(HttpBody, FirstLineIsShortAndPrintable) {
  struct Case {
    std::string body, want;
  };
  const Case cases[] = {
      {"", ""},
      {"out of bounds\n", "out of bounds"},
      {"{\"error\":\"x\"}\r\nsecond", "{\"error\":\"x\"}"},
      {"\x1b[31mred\x07", "?[31mred?"},
      {"\n\nlater", ""},
      {std::string(300, 'a'), std::string(256, 'a')},
      // A cut never splits a UTF-8 sequence: é is two bytes at 255..256.
      {std::string(255, 'a') + "\xc3\xa9", std::string(255, 'a')},
  };
  for (const Case& c : cases) EXPECT_EQ(http_first_line(c.body), c.want) << c.body;
}

// A loopback server that answers each request with the next scripted
// answer (an empty one: say nothing) and keeps what it was sent.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 4) != 0)
      ADD_FAILURE() << "the test server could not listen";
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  std::string url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
  }
  int connections() const { return connections_; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  // At most 5 s in all, so that a fault cannot hang the test.
  void serve() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::vector<int> conns;
    std::vector<std::string> pending;
    size_t answered = 0;
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (int c : conns) fds.push_back({c, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        conns.push_back(accept(listener_, nullptr, nullptr));
        pending.emplace_back();
        ++connections_;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[65536];
        const ssize_t n = read(conns[i - 1], buf, sizeof buf);
        if (n <= 0) continue;
        std::string& in = pending[i - 1];
        in.append(buf, static_cast<size_t>(n));
        const size_t head = in.find("\r\n\r\n");
        if (head == std::string::npos) continue;
        size_t length = 0;
        const size_t cl = in.find("Content-Length: ");
        if (cl != std::string::npos && cl < head) length = std::stoul(in.substr(cl + 16));
        if (in.size() < head + 4 + length) continue;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(in.substr(0, head + 4 + length));
        }
        in.erase(0, head + 4 + length);
        const std::string answer = answered < answers_.size() ? answers_[answered] : "";
        ++answered;
        if (!answer.empty()) (void)!write(conns[i - 1], answer.data(), answer.size());
      }
    }
    for (int c : conns) close(c);
  }

  std::vector<std::string> answers_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

const char kNoContent[] = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";

std::string answer(int status, const std::string& body, const std::string& more = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + more + "\r\n" + body;
}

TEST(HttpClientPost, BatchesShareOneConnectionAndArriveWhole) {
  ScriptedServer server({kNoContent, kNoContent, kNoContent});
  HttpClient client;
  std::string error;
  ASSERT_TRUE(client.ready(&error)) << error;
  const std::string bodies[] = {std::string("a\0b\xff", 4), std::string(100000, 'x'), ""};
  for (const std::string& body : bodies) {
    HttpRequest req;
    req.url = server.url("/write?db=site");
    req.headers = {{"Authorization", "Token abc"}, {"Content-Type", "text/plain; charset=utf-8"}};
    // The empty one as a default string_view: a null pointer.
    if (!body.empty()) req.body = body;
    req.timeout_ms = 3000;
    const HttpResponse r = client.post(req);
    EXPECT_EQ(r.status, 204) << r.error;
    EXPECT_EQ(r.first_line, "");
  }
  EXPECT_EQ(server.connections(), 1);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].rfind("POST /write?db=site HTTP/1.1\r\n", 0), 0u) << requests[i];
    EXPECT_NE(requests[i].find("\r\nAuthorization: Token abc\r\n"), std::string::npos);
    EXPECT_EQ(requests[i].find("Expect:"), std::string::npos);
    const std::string& body = bodies[i];
    EXPECT_EQ(requests[i].substr(requests[i].size() - body.size()), body);
  }
}

TEST(HttpClientPost, StatusAndFirstLineOfEachAnswer) {
  struct Case {
    std::string answer;
    int status;
    const char* first_line;
  };
  const Case cases[] = {
      {answer(400, "out of bounds\nmore"), 400, "out of bounds"},
      {answer(500, "\x1b[2Jwiped\r\n"), 500, "?[2Jwiped"},
      {answer(429, "slow down"), 429, "slow down"},
      // Not followed: the token stays with the host it was meant for.
      {answer(307, "", "Location: http://127.0.0.2:1/elsewhere\r\n"), 307, ""},
  };
  for (const Case& c : cases) {
    ScriptedServer server({c.answer});
    HttpClient client;
    HttpRequest req;
    req.url = server.url("/api/v1/write");
    req.body = "x";
    req.timeout_ms = 3000;
    const HttpResponse r = client.post(req);
    EXPECT_EQ(r.status, c.status) << r.error;
    EXPECT_EQ(r.first_line, c.first_line);
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST(HttpClientPost, NoAnswerIsATransportErrorWithinTheTimeLimit) {
  ScriptedServer silent({""});
  HttpClient client;
  HttpRequest req;
  req.url = silent.url("/write");
  req.body = "x";
  req.timeout_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  HttpResponse r = client.post(req);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.error.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // A port nobody listens on.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  req.url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/write";
  req.timeout_ms = 3000;
  r = client.post(req);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.error.empty());
}

TEST(HttpClientPost, ARequestThatCannotBeSentSafelyIsNotSent) {
  struct Case {
    const char* what;
    std::string url_tail;
    HttpHeader header;
    bool credentials = false;
  };
  const Case cases[] = {
      {"a line end in a header", "/write", {"Authorization", "Token secret\r\nX-Injected: 1"}},
      {"credentials in the URL", "/write", {"X-Fine", "1"}, true},
  };
  for (const Case& c : cases) {
    ScriptedServer server({kNoContent});
    HttpClient client;
    HttpRequest req;
    req.url = server.url(c.url_tail);
    if (c.credentials) req.url.replace(req.url.find("127."), 0, "user:secret@");
    req.headers = {c.header};
    req.body = "x";
    req.timeout_ms = 1000;
    const HttpResponse r = client.post(req);
    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_FALSE(r.error.empty()) << c.what;
    EXPECT_EQ(r.error.find("secret"), std::string::npos) << r.error;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.connections(), 0) << c.what;
  }
}

}  // namespace
