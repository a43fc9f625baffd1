// HTTP posts through libcurl. One easy handle per client: curl keeps the
// handle's connections open between transfers, so a run's batches share one.
#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "platform/http.h"

namespace {

// curl_global_init is not safe to race with itself; it runs once and the
// library stays up until the process ends.
CURLcode global_init() {
  static CURLcode code = CURLE_FAILED_INIT;
  static std::once_flag once;
  std::call_once(once, [] { code = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return code;
}

// Enough of an answer's body for its first line; the rest is read and dropped.
constexpr size_t kBodyKept = 4096;

size_t keep_body(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t n = size * count;
  if (body->size() < kBodyKept) body->append(data, std::min(n, kBodyKept - body->size()));
  return n;
}

}  // namespace

struct HttpClient::Impl {
  CURL* easy = nullptr;
  std::string setup_error;
  char error_text[CURL_ERROR_SIZE] = {};
};

HttpClient::HttpClient() : impl_(new Impl) {
  const CURLcode code = global_init();
  if (code != CURLE_OK) {
    impl_->setup_error = std::string("libcurl could not start: ") + curl_easy_strerror(code);
    return;
  }
  impl_->easy = curl_easy_init();
  if (impl_->easy == nullptr) impl_->setup_error = "libcurl could not start: no handle";
}

HttpClient::~HttpClient() {
  if (impl_->easy != nullptr) curl_easy_cleanup(impl_->easy);
}

bool HttpClient::ready(std::string* error) const {
  if (impl_->easy != nullptr) return true;
  *error = impl_->setup_error;
  return false;
}

HttpResponse HttpClient::post(const HttpRequest& request) {
  HttpResponse out;
  if (impl_->easy == nullptr) {
    out.error = impl_->setup_error;
    return out;
  }
  HttpUrl url;
  out.error = http_request_problem(request, &url);
  if (!out.error.empty()) return out;

  CURL* easy = impl_->easy;
  // Options start afresh each time; the open connections stay.
  curl_easy_reset(easy);
  impl_->error_text[0] = '\0';
  // The URL as it was checked, rebuilt from its parts.
  const std::string target = url.origin() + url.target();
  curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, impl_->error_text);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "logfetch");
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  // Never a null pointer, which tells curl to take the body from its read
  // callback (standard input by default).
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout_ms));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout_ms));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.ca_file.empty()) {
    // This file's CAs instead of the system's, not besides them.
    curl_easy_setopt(easy, CURLOPT_CAINFO, request.ca_file.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  }

  // No "Expect: 100-continue" round trip before a large body.
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  bool failed = headers == nullptr;
  for (const HttpHeader& h : request.headers) {
    curl_slist* more = curl_slist_append(headers, (h.name + ": " + h.value).c_str());
    failed = failed || more == nullptr;
    if (more != nullptr) headers = more;
  }
  if (failed) {
    curl_slist_free_all(headers);
    out.error = "out of memory for the request's headers";
    return out;
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

  std::string body;
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep_body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);

  const CURLcode code = curl_easy_perform(easy);
  // The handle must not keep pointers to what goes out of scope here.
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  curl_slist_free_all(headers);
  if (code != CURLE_OK) {
    out.error = impl_->error_text[0] != '\0' ? impl_->error_text : curl_easy_strerror(code);
    return out;
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status <= 0) {
    out.error = "no HTTP answer";
    return out;
  }
  out.status = static_cast<int>(status);
  out.first_line = http_first_line(body);
  return out;
}
