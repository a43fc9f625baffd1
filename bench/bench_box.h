// What the download and memory benchmarks share: a full box served by the
// real boxsim on a loopback address, and the whole walk of logfetch run in
// this process against it. boxsim binds port 811, so they need root.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "bench/placement-linux.h"
#include "bench/quiet_stdout.h"
#include "device/getdata.h"
#include "device/messages.h"
#include "report/datafile.h"

extern char** environ;

namespace bench {

constexpr int kSensors = 16;  // 8 ports x 2 slots
constexpr int kSampleSize = 4;
constexpr const char* kPassword = "bench";

// A fresh folder under /tmp, removed by the caller's rm_tree.
inline std::string make_scratch_dir() {
  char templ[] = "/tmp/logfetch-bench-XXXXXX";
  const char* d = mkdtemp(templ);
  if (d == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return d;
}

inline void rm_tree(const std::string& dir) {
  const std::string cmd = "rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

// Every slot a sensor with `samples` four-byte samples, a full ring, fixed
// clocks (so reports repeat exactly) and a zone with daylight saving; each
// logs `gain` more samples between two downloads.
inline std::string write_box_file(const std::string& dir, int samples, int gain = 0) {
  const std::string path = dir + "/bench" + std::to_string(samples) + ".box";
  std::ofstream f(path);
  f << "system Bench box\nclock 1796685429\npassword " << kPassword << "\n";
  for (int port = 1; port <= 8; ++port) {
    for (int slot = 1; slot <= 2; ++slot) {
      f << "[port " << port << " slot " << slot << "]\n"
        << "type " << (slot == 1 ? "temperature" : "4-20ma") << "\n"
        << "description Sensor " << port << "." << slot << "\nunit C\nzone 35\n"
        << "sample_size " << kSampleSize << "\ninterval 1\ncapacity " << samples << "\n"
        << "last_log_time 1796685000\n"
        << "generate " << samples << " random " << port * 2 + slot << " -40000 40000\n";
      if (gain > 0) f << "gain " << gain << "\n";
    }
  }
  return path;
}

// Data requests of one download: the chunks of 1146 bytes' worth of samples.
inline int data_requests(int samples) {
  const int chunk = kMaxChunkBytes / kSampleSize;
  return (samples + chunk - 1) / chunk;
}

// boxsim serving one box file on addr:811 until stopped (at most ten minutes),
// with `extra` options.
class BoxsimProcess {
 public:
  BoxsimProcess(const std::string& addr, const std::string& box_file,
                const std::vector<std::string>& extra = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {LF_BOXSIM_PATH, "--addr", addr, "--max-seconds", "600"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(box_file);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, LF_BOXSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      pid_ = -1;
      close(out[0]);
      return;
    }
    // The ready line, or end of file when boxsim could not start.
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    ready_ = line.find("serving on") != std::string::npos;
  }
  ~BoxsimProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
  BoxsimProcess(const BoxsimProcess&) = delete;
  BoxsimProcess& operator=(const BoxsimProcess&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// The whole walk, reports overwritten in the current folder, as the program
// runs it with -o (and -t when `local`). Returns logfetch_main's status.
inline int run_walk(const std::string& addr, bool local, getdata& conn, datafile& writer) {
  std::vector<std::string> args = {"logfetch", "-i", addr, "-p", kPassword, "-o"};
  if (local) args.push_back("-t");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  QuietStdout quiet;
  return logfetch_main(static_cast<int>(args.size()), argv.data(), conn, writer, stdin);
}

// The names of the full box's reports.
inline std::vector<std::string> report_names(const std::string& addr) {
  std::vector<std::string> names;
  for (int port = 1; port <= 8; ++port)
    for (const char* type : {"temperature", "4-20ma"})
      names.push_back(addr + "_p" + std::to_string(port) + "_" + type + ".txt");
  return names;
}

// Whether the folder holds the full box's reports with all their sample lines.
inline bool reports_complete(const std::string& dir, const std::string& addr, int samples) {
  for (const std::string& name : report_names(addr)) {
    std::ifstream f(dir + "/" + name);
    if (!f) return false;
    int lines = 0;
    for (std::string line; std::getline(f, line);) ++lines;
    if (lines != 11 + samples + 1) return false;
  }
  return true;
}

// One run of a program started in `dir`, standard input and output on
// /dev/null: its exit status (-100 when it could not be run or did not
// exit), wall time and peak resident memory (its own, not the parent's).
struct ProgramRun {
  int status;
  double seconds;
  long peak_rss_kib;
};

inline ProgramRun run_in(const std::string& dir, const char* exe, std::vector<std::string> args) {
  args.insert(args.begin(), exe);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // Standard error too: --check puts the console lines there, and they must
  // cost what they cost on standard output, not what the bench's reader does.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The child starts in `dir`, so its files go there.
  char* here = get_current_dir_name();
  const std::string back = here != nullptr ? here : ".";
  std::free(here);
  if (chdir(dir.c_str()) != 0) return {-100, 0, 0};
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  const int rc = posix_spawn(&pid, exe, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (chdir(back.c_str()) != 0 || rc != 0) return {-100, 0, 0};
  int status;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return {-100, 0, 0};
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return {WEXITSTATUS(status), s, usage.ru_maxrss};
}

}  // namespace bench
