// The command line and the prompts: argument words and the answers typed at
// the prompts, through the whole entry point. Input: words separated by zero
// bytes, then (after the first 0xFF byte) what standard input holds.
// No datagram leaves this program: sendto is wrapped at link time (see
// fuzz/CMakeLists.txt) and always fails, so a walk that starts ends at its
// first sensor with no reply, without waiting.
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "device/getdata.h"
#include "report/datafile.h"

extern "C" ssize_t __wrap_sendto(int, const void*, size_t, int, const struct sockaddr*, socklen_t) {
  errno = ENETUNREACH;
  return -1;
}

namespace {
constexpr size_t kMaxWords = 64;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's messages would drown the fuzzer's own.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static getdata conn(kBoxPort, 0);
  static datafile writer;

  const uint8_t* end = data + size;
  const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0xFF, size));
  const uint8_t* words_end = split != nullptr ? split : end;

  // Each word its own heap block, so a read past its end is caught.
  std::vector<std::vector<char>> words;
  words.push_back({'l', 'o', 'g', 'f', 'e', 't', 'c', 'h', '\0'});
  for (const uint8_t* p = data; p < words_end && words.size() < kMaxWords;) {
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(p, 0, words_end - p));
    const uint8_t* stop = z != nullptr ? z : words_end;
    std::vector<char> w(p, stop);
    w.push_back('\0');
    words.push_back(std::move(w));
    p = stop + 1;
  }
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::string input;
  if (split != nullptr) input.assign(reinterpret_cast<const char*>(split + 1), end - split - 1);
  std::FILE* in =
      input.empty() ? std::fopen("/dev/null", "r") : fmemopen(&input[0], input.size(), "r");
  if (in == nullptr) std::abort();
  const int status = logfetch_main(static_cast<int>(words.size()), argv.data(), conn, writer, in);
  std::fclose(in);
  // -n adds 1 (the walk ended early) and 2 (a sensor not saved); --check
  // answers by the plugin rules, 3 for UNKNOWN.
  if (status < -1 || status > 3) std::abort();
  return 0;
}
