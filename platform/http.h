// The program's HTTP client: the one place where pushes to monitoring stores
// meet the system's HTTP stack. libcurl on POSIX (http-posix.cpp), WinHTTP on
// Windows (http-win32.cpp); the URL reading both share is in http.cpp.
//
// Only what a push needs: a POST with a body, a few headers and a time limit,
// answered by a status code and the first line of the body. No redirect is
// followed (a token must not travel to another host). TLS is always verified:
// the peer's certificate must chain to a trusted CA and name the URL's host.
//
// Proxies: libcurl's environment variables (https_proxy, no_proxy, ...) on
// POSIX, the system's WinHTTP proxy setting on Windows.
//
// Nothing here prints anything; transport errors come back as text, which
// never holds a header value (where tokens travel) or the URL's query.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The parts of an http:// or https:// URL.
struct HttpUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // a name or an IPv4 address; an IPv6 address without its brackets
  uint16_t port = 0;   // the URL's, or 80 / 443
  std::string path;    // from the first '/', "/" when the URL has none
  std::string query;   // after '?', without it; "" when none

  // scheme://host:port
  std::string origin() const;
  // scheme://host:port/path, without the query (which may hold a password):
  // the form to show in messages.
  std::string shown() const;
  // The path with "?query" when there is one: the request target.
  std::string target() const;
};

// Reads `text` into *url. False with *error set when it is not an http or
// https URL, holds credentials (user:password@), a fragment, a space or a
// control character, or a port outside 1..65535.
bool parse_http_url(std::string_view text, HttpUrl* url, std::string* error);

// The value of parameter `name` in a query ("a=1&b=2"), percent-decoded
// ('+' read as a space). False when the query has no such parameter.
bool http_query_value(std::string_view query, std::string_view name, std::string* value);

struct HttpHeader {
  std::string name, value;
};

// Whether a header can be sent as it is: a name of token characters, a
// value without line ends or other control characters (but tabs).
bool http_header_ok(const HttpHeader& header);

// Whether HttpRequest::ca_file can be honoured here: not on Windows, where a
// private CA has to be in the system's certificate store (see
// http-win32.cpp). A reader of settings can refuse such a key up front.
#ifdef _WIN32
constexpr bool kHttpCaFileSupported = false;
#else
constexpr bool kHttpCaFileSupported = true;
#endif

struct HttpRequest {
  std::string url;                  // checked by parse_http_url on every post
  std::vector<HttpHeader> headers;  // checked by http_header_ok on every post
  std::string_view body;            // stays valid until post() returns
  int timeout_ms = 30000;           // for connecting, and for the whole exchange
  // A PEM file of the CAs to trust instead of the system's; "" for the
  // system's. On Windows only the system's store can be used (see
  // http-win32.cpp): a request naming a file there is not sent.
  std::string ca_file;
};

struct HttpResponse {
  int status = 0;          // the HTTP status; 0 when no HTTP answer came
  std::string first_line;  // the body's first line, control characters as '?', at most 256 bytes
  std::string error;       // when status is 0: why (no connection, time-out, TLS, ...)
};

// One client per run (or per store): it keeps its connections open between
// posts, so the batches of a run share one connection where the server
// allows. Not for use from two threads at once.
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // False with *error when the HTTP stack could not be set up; every post
  // then fails with that text.
  bool ready(std::string* error) const;

  // POSTs the body to the URL and waits for the answer, at most
  // request.timeout_ms.
  HttpResponse post(const HttpRequest& request);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Shared by both HTTP files, exposed for tests: the checks every post makes
// before anything is sent ("" when the request may go), and the first line
// of a body as HttpResponse keeps it.
std::string http_request_problem(const HttpRequest& request, HttpUrl* url);
std::string http_first_line(std::string_view body);
