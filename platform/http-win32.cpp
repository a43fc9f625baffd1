// HTTP posts through WinHTTP. The session handle pools the connections, and
// one connect handle is kept per server, so a run's batches share one
// connection where the server allows.
//
// A CA file cannot be honoured here. WinHTTP trusts the Windows certificate
// store and has no option for a CA of the caller's; checking the chain
// ourselves would mean turning WinHTTP's own check off, and the request, with
// its token and samples, is on the wire before the certificate can be looked
// at and refused. So a request that names a CA file is not sent, and the CA
// has to be put in the Windows store (certutil -user -addstore Root CA.pem).
#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "platform/http.h"

namespace {

constexpr size_t kBodyKept = 4096;
// A longer answer is not read to its end: its connection is then dropped.
constexpr size_t kBodyRead = 1 << 20;

std::wstring wide(const std::string& s, bool* ok) {
  *ok = true;
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()),
                                    nullptr, 0);
  if (n <= 0) {
    *ok = false;
    return std::wstring();
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &out[0], n);
  return out;
}

// "what: the system's text (number)".
std::string failure(const char* what, DWORD code) {
  std::string text;
  char* buf = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 GetModuleHandleA("winhttp.dll"), code, 0,
                                 reinterpret_cast<char*>(&buf), 0, nullptr);
  if (n > 0 && buf != nullptr) {
    text.assign(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.'))
      text.pop_back();
  }
  if (buf != nullptr) LocalFree(buf);
  // Wine and some Windows versions have no text for WinHTTP's numbers.
  if (text.empty()) {
    switch (code) {
      case ERROR_WINHTTP_TIMEOUT:
        text = "timed out";
        break;
      case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        text = "the server name cannot be resolved";
        break;
      case ERROR_WINHTTP_CANNOT_CONNECT:
        text = "cannot connect";
        break;
      case ERROR_WINHTTP_CONNECTION_ERROR:
        text = "the connection was reset or ended";
        break;
      case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        text = "the TLS handshake failed";
        break;
      case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        text = "the answer is not HTTP";
        break;
      default:
        text = "WinHTTP error";
    }
  }
  if (code == ERROR_WINHTTP_SECURE_FAILURE) text = "the server's certificate was refused (" + text + ")";
  return std::string(what) + ": " + text + " (" + std::to_string(code) + ")";
}

struct handle {
  HINTERNET h = nullptr;
  handle() = default;
  explicit handle(HINTERNET x) : h(x) {}
  ~handle() { reset(); }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;
  void reset(HINTERNET x = nullptr) {
    if (h != nullptr) WinHttpCloseHandle(h);
    h = x;
  }
};

}  // namespace

struct HttpClient::Impl {
  handle session;
  handle connect;
  std::string connect_key;  // scheme, host and port of `connect`
  std::string setup_error;
};

HttpClient::HttpClient() : impl_(new Impl) {
  impl_->session.reset(WinHttpOpen(L"logfetch", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (impl_->session.h == nullptr) impl_->setup_error = failure("WinHTTP could not start", GetLastError());
}

HttpClient::~HttpClient() = default;

bool HttpClient::ready(std::string* error) const {
  if (impl_->session.h != nullptr) return true;
  *error = impl_->setup_error;
  return false;
}

HttpResponse HttpClient::post(const HttpRequest& request) {
  HttpResponse out;
  if (impl_->session.h == nullptr) {
    out.error = impl_->setup_error;
    return out;
  }
  HttpUrl url;
  out.error = http_request_problem(request, &url);
  if (!out.error.empty()) return out;
  if (!request.ca_file.empty()) {
    out.error =
        "a CA file cannot be used on Windows: put the CA in the Windows certificate store "
        "(certutil -user -addstore Root FILE)";
    return out;
  }
  if (request.body.size() > 0xFFFFFFFFu) {
    out.error = "a request body of 4 GiB or more cannot be sent";
    return out;
  }
  bool ok = true;
  const std::wstring host = wide(url.host, &ok);
  const std::wstring target = wide(url.target(), &ok);
  std::string header_text;
  for (const HttpHeader& h : request.headers) header_text += h.name + ": " + h.value + "\r\n";
  bool headers_ok = true;
  const std::wstring headers = wide(header_text, &headers_ok);
  if (!ok || !headers_ok) {
    out.error = "a header is not UTF-8 text";
    return out;
  }

  const std::string key = url.origin();
  if (impl_->connect.h == nullptr || impl_->connect_key != key) {
    impl_->connect.reset(WinHttpConnect(impl_->session.h, host.c_str(), url.port, 0));
    impl_->connect_key = key;
    if (impl_->connect.h == nullptr) {
      impl_->connect_key.clear();
      out.error = failure("no connection", GetLastError());
      return out;
    }
  }
  const DWORD flags = url.scheme == "https" ? WINHTTP_FLAG_SECURE : 0;
  handle req(WinHttpOpenRequest(impl_->connect.h, L"POST", target.c_str(), nullptr,
                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (req.h == nullptr) {
    out.error = failure("the request could not be made", GetLastError());
    return out;
  }
  const int ms = request.timeout_ms;
  WinHttpSetTimeouts(req.h, ms, ms, ms, ms);
  // No redirect (the token would follow it), no cookies, and never the
  // Windows login offered to a server that asks for one.
  DWORD disable = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  WinHttpSetOption(req.h, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
  DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  WinHttpSetOption(req.h, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);

  const auto size = static_cast<DWORD>(request.body.size());
  LPVOID body = size > 0 ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
  if (!WinHttpSendRequest(req.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          static_cast<DWORD>(headers.size()), body, size, size, 0) ||
      !WinHttpReceiveResponse(req.h, nullptr)) {
    out.error = failure("no answer", GetLastError());
    return out;
  }
  DWORD status = 0, status_size = sizeof status;
  if (!WinHttpQueryHeaders(req.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                           WINHTTP_NO_HEADER_INDEX) ||
      status == 0) {
    out.error = failure("no HTTP status in the answer", GetLastError());
    return out;
  }
  // Read to the end, so that the connection can carry the next request.
  std::string kept;
  size_t read_total = 0;
  char buf[4096];
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(req.h, buf, sizeof buf, &got) || got == 0) break;
    if (kept.size() < kBodyKept) kept.append(buf, std::min<size_t>(got, kBodyKept - kept.size()));
    read_total += got;
    if (read_total >= kBodyRead) break;
  }
  out.status = static_cast<int>(status);
  out.first_line = http_first_line(kept);
  return out;
}
