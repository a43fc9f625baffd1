// HTTP posts through libcurl. One easy handle per client: curl keeps the
// handle's connections open between transfers, so a run's batches share one.
// The library is loaded when the first client is made: a run that pushes to
// no store never pays for loading it and the TLS libraries it brings.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <mutex>

#include "platform/http.h"

namespace {

// The part of libcurl's interface used here, found in the loaded library.
struct curl_api {
  CURLcode (*global_init)(long);
  CURL* (*easy_init)();
  void (*easy_cleanup)(CURL*);
  void (*easy_reset)(CURL*);
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

curl_api api;

template <typename F>
bool find(void* lib, const char* name, F* f) {
  *f = reinterpret_cast<F>(dlsym(lib, name));
  return *f != nullptr;
}

// Loads libcurl and starts it, once (curl_global_init is not safe to race
// with itself); it stays up until the process ends. "" when it did, else why not.
const std::string& load_curl() {
  static std::string problem;
  static std::once_flag once;
  std::call_once(once, [] {
    void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      const char* why = dlerror();
      problem = std::string("libcurl could not start: ") + (why != nullptr ? why : "not found");
      return;
    }
    if (!find(lib, "curl_global_init", &api.global_init) ||
        !find(lib, "curl_easy_init", &api.easy_init) ||
        !find(lib, "curl_easy_cleanup", &api.easy_cleanup) ||
        !find(lib, "curl_easy_reset", &api.easy_reset) ||
        !find(lib, "curl_easy_setopt", &api.easy_setopt) ||
        !find(lib, "curl_easy_perform", &api.easy_perform) ||
        !find(lib, "curl_easy_getinfo", &api.easy_getinfo) ||
        !find(lib, "curl_easy_strerror", &api.easy_strerror) ||
        !find(lib, "curl_slist_append", &api.slist_append) ||
        !find(lib, "curl_slist_free_all", &api.slist_free_all)) {
      problem = "libcurl could not start: libcurl.so.4 lacks a function it should have";
      return;
    }
    const CURLcode code = api.global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
      problem = std::string("libcurl could not start: ") + api.easy_strerror(code);
  });
  return problem;
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
  impl_->setup_error = load_curl();
  if (!impl_->setup_error.empty()) return;
  impl_->easy = api.easy_init();
  if (impl_->easy == nullptr) impl_->setup_error = "libcurl could not start: no handle";
}

HttpClient::~HttpClient() {
  if (impl_->easy != nullptr) api.easy_cleanup(impl_->easy);
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
  api.easy_reset(easy);
  impl_->error_text[0] = '\0';
  // The URL as it was checked, rebuilt from its parts.
  const std::string target = url.origin() + url.target();
  api.easy_setopt(easy, CURLOPT_URL, target.c_str());
  api.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  api.easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  api.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  api.easy_setopt(easy, CURLOPT_ERRORBUFFER, impl_->error_text);
  api.easy_setopt(easy, CURLOPT_USERAGENT, "logfetch");
  api.easy_setopt(easy, CURLOPT_POST, 1L);
  // Never a null pointer, which tells curl to take the body from its read
  // callback (standard input by default).
  api.easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
  api.easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  api.easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout_ms));
  api.easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout_ms));
  api.easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  api.easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.ca_file.empty()) {
    // This file's CAs instead of the system's, not besides them.
    api.easy_setopt(easy, CURLOPT_CAINFO, request.ca_file.c_str());
    api.easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  }

  // No "Expect: 100-continue" round trip before a large body.
  curl_slist* headers = api.slist_append(nullptr, "Expect:");
  bool failed = headers == nullptr;
  for (const HttpHeader& h : request.headers) {
    curl_slist* more = api.slist_append(headers, (h.name + ": " + h.value).c_str());
    failed = failed || more == nullptr;
    if (more != nullptr) headers = more;
  }
  if (failed) {
    api.slist_free_all(headers);
    out.error = "out of memory for the request's headers";
    return out;
  }
  api.easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

  std::string body;
  api.easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep_body);
  api.easy_setopt(easy, CURLOPT_WRITEDATA, &body);

  const CURLcode code = api.easy_perform(easy);
  // The handle must not keep pointers to what goes out of scope here.
  api.easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  api.slist_free_all(headers);
  if (code != CURLE_OK) {
    out.error = impl_->error_text[0] != '\0' ? impl_->error_text : api.easy_strerror(code);
    return out;
  }
  long status = 0;
  api.easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status <= 0) {
    out.error = "no HTTP answer";
    return out;
  }
  out.status = static_cast<int>(status);
  out.first_line = http_first_line(body);
  return out;
}
