#include "tests/e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/placement-linux.h"

#ifndef LOGFETCH_EXE_PATH
#error "LOGFETCH_EXE_PATH must name the logfetch binary"
#endif
#ifndef BOXSIM_EXE_PATH
#error "BOXSIM_EXE_PATH must name the boxsim binary"
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::vector<std::string> split_blanks(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::vector<char*> c_args(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (std::string& w : words) out.push_back(&w[0]);
  out.push_back(nullptr);
  return out;
}

// Child side of a spawn: own process group (so a runner's children die with
// it), then the program.
[[noreturn]] void exec_child(const std::string& cwd, std::vector<std::string> argv, int in_fd,
                             int out_fd, int err_fd, Placement placement) {
  setpgid(0, 0);
  if (!place_process(placement)) {
    std::fprintf(stderr, "cannot place %s: %s\n", argv[0].c_str(), std::strerror(errno));
    _exit(125);
  }
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  dup2(in_fd, 0);
  dup2(out_fd, 1);
  if (err_fd >= 0) dup2(err_fd, 2);
  std::vector<char*> args = c_args(argv);
  execvp(args[0], args.data());
  std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
  _exit(127);
}

int wait_status(int pid, bool* killed) {
  int st = 0;
  waitpid(pid, &st, 0);
  *killed = !WIFEXITED(st);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

std::string box_addr(int n) {
  // Wine 8 binds a Windows program's datagram socket asked for any loopback
  // address but 127.0.0.1 to all addresses, and its replies then come from
  // 127.0.0.1: boxsim.exe under Wine can serve only there, one box at a time.
  const std::string one = env_or("E2E_BOX_ADDR", "");
  if (!one.empty()) return one;
  return "127.0." + env_or("E2E_NET", "3") + "." + std::to_string(n);
}

bool running_as_root() { return geteuid() == 0; }

bool realtime_available() {
  // A runner's helpers (Wine's server, started by the first Windows program)
  // would inherit the real-time priority and the shared CPU, and starve it.
  if (boxsim_through_runner()) return false;
  const pid_t pid = fork();
  if (pid == 0) _exit(place_process(Placement::kRealtimeOnSharedCpu) ? 0 : 1);
  bool killed = false;
  return wait_status(pid, &killed) == 0;
}

bool through_runner() { return !split_blanks(env_or("LOGFETCH_RUNNER", "")).empty(); }

bool boxsim_through_runner() { return !split_blanks(env_or("BOXSIM_RUNNER", "")).empty(); }

std::string normalise(const std::string& text) {
  if (!through_runner()) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

TempDir::TempDir() {
  std::string tmpl = env_or("TMPDIR", "/tmp") + "/logfetch-e2e-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  if (std::getenv("E2E_KEEP") == nullptr) remove_tree(path_);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream f(file(name), std::ios::binary);
  f << text;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream f(file(name), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return normalise(s.str());
}

bool TempDir::exists(const std::string& name) const {
  struct stat st;
  return lstat(file(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> out;
  if (DIR* d = opendir(path_.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

RunResult run_logfetch(const TempDir& dir, const std::vector<std::string>& args,
                       const std::string& input, int timeout_s, Placement placement) {
  std::vector<std::string> argv = split_blanks(env_or("LOGFETCH_RUNNER", ""));
  argv.push_back(env_or("LOGFETCH_EXE", LOGFETCH_EXE_PATH));
  argv.insert(argv.end(), args.begin(), args.end());

  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    exec_child(dir.path(), argv, in_pipe[0], out_pipe[1], -1, placement);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  // The answers are short: they fit the pipe, then end of input.
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t unused = ::write(in_pipe[1], input.data(), input.size());
    (void)unused;
  }
  close(in_pipe[1]);

  RunResult run;
  const Clock::time_point deadline = start + std::chrono::seconds(timeout_s);
  char buf[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      run.timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
    const ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    run.out.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  bool killed = false;
  run.status = wait_status(pid, &killed);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.out = normalise(run.out);
  return run;
}

BoxSim::BoxSim(int n, const std::string& box_text, const std::vector<std::string>& extra_args,
               Placement placement)
    : addr_(box_addr(n)) {
  dir_.write("box.txt", box_text);
  std::vector<std::string> argv = split_blanks(env_or("BOXSIM_RUNNER", ""));
  const std::vector<std::string> own = {env_or("BOXSIM_EXE", BOXSIM_EXE_PATH),
                                        "--addr",
                                        addr_,
                                        "--log",
                                        dir_.file("requests.log"),
                                        "--max-seconds",
                                        "170"};
  argv.insert(argv.end(), own.begin(), own.end());
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  argv.push_back(dir_.file("box.txt"));

  int out_pipe[2];
  if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  const int err_fd = open(dir_.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int null_fd = open("/dev/null", O_RDONLY);
  const pid_t pid = fork();
  if (pid == 0) {
    close(out_pipe[0]);
    exec_child("", argv, null_fd, out_pipe[1], err_fd, placement);
  }
  close(out_pipe[1]);
  close(err_fd);
  close(null_fd);

  // Wait for the ready line.
  std::string line;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[256];
    const ssize_t got = read(out_pipe[0], c, sizeof c);
    if (got <= 0) break;
    line.append(c, static_cast<size_t>(got));
  }
  close(out_pipe[0]);
  if (boxsim_through_runner() && line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
    line.erase(line.size() - 2, 1);
  if (line != "boxsim: serving on " + addr_ + ":811\n") {
    kill(pid, SIGKILL);
    bool killed;
    wait_status(pid, &killed);
    ADD_FAILURE() << "boxsim did not start on " << addr_ << ": " << line << dir_.read("stderr.txt");
    return;
  }
  pid_ = pid;
}

BoxSim::~BoxSim() {
  if (pid_ <= 0) return;
  // Under Wine a Windows program is stopped as Ctrl-C stops it at a console.
  kill(pid_, boxsim_through_runner() ? SIGINT : SIGTERM);
  bool killed = false;
  const int status = wait_status(pid_, &killed);
  EXPECT_EQ(status, 0) << "boxsim did not end cleanly: " << dir_.read("stderr.txt");
  EXPECT_NE(dir_.read("stderr.txt").find("boxsim: stopped"), std::string::npos)
      << "boxsim did not see the stop request";
}

std::vector<LoggedRequest> BoxSim::requests() const {
  std::vector<LoggedRequest> out;
  std::istringstream in(dir_.read("requests.log"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    LoggedRequest r{};
    std::string from;
    fields >> r.seconds >> from >> r.hex;
    out.push_back(r);
  }
  return out;
}

std::vector<std::string> BoxSim::request_hex() const {
  std::vector<std::string> out;
  for (const LoggedRequest& r : requests()) out.push_back(r.hex);
  return out;
}

std::string request_hex(int code, int port, int slot, int start, int count,
                        const std::string& password) {
  unsigned char b[24] = {};
  b[0] = static_cast<unsigned char>(code);
  b[1] = static_cast<unsigned char>(port);
  b[2] = static_cast<unsigned char>(slot);
  b[3] = static_cast<unsigned char>(start & 0xFF);
  b[4] = static_cast<unsigned char>(start >> 8);
  b[5] = static_cast<unsigned char>(count & 0xFF);
  b[6] = static_cast<unsigned char>(count >> 8);
  std::memcpy(b + 7, password.data(), std::min<size_t>(password.size(), 16));
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : b) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}
