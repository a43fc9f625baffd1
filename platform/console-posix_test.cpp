#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace {

// A pseudo-terminal whose far side a test can inspect.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    name_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  bool echo_on() const {
    termios mode{};
    return get(&mode) && (mode.c_lflag & ECHO) != 0;
  }
  bool get(termios* mode) const {
    return with_far_side([&](int fd) { return tcgetattr(fd, mode); });
  }
  bool set(const termios& mode) const {
    return with_far_side([&](int fd) { return tcsetattr(fd, TCSANOW, &mode); });
  }

 private:
  template <typename Call>
  bool with_far_side(Call call) const {
    const int fd = open(name_.c_str(), O_RDWR | O_NOCTTY);
    const bool done = fd >= 0 && call(fd) == 0;
    if (fd >= 0) close(fd);
    return done;
  }

  int master_ = -1;
  std::string name_;
};

}  // namespace

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Echo comes back as the terminal had it before the prompt: on, or off for a
// terminal that had it off, with every other flag as it was.
TEST(Console, EchoOffAndOnAgain) {
  for (const bool echo_before : {true, false}) {
    SCOPED_TRACE(echo_before ? "echo on before" : "echo off before");
    Pty pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    termios before{};
    ASSERT_TRUE(pty.get(&before));
    before.c_lflag = echo_before ? (before.c_lflag | ECHO) : (before.c_lflag & ~ECHO);
    ASSERT_TRUE(pty.set(before));
    ASSERT_TRUE(pty.get(&before));
    std::FILE* in = std::fopen(pty.name().c_str(), "r+");
    ASSERT_NE(in, nullptr);
    EXPECT_TRUE(console_is_terminal(in));
    ASSERT_TRUE(console_set_echo(in, false));
    EXPECT_FALSE(pty.echo_on());
    ASSERT_TRUE(console_set_echo(in, true));
    EXPECT_EQ(pty.echo_on(), echo_before);
    termios after{};
    ASSERT_TRUE(pty.get(&after));
    EXPECT_TRUE(same_mode(after, before));
    std::fclose(in);
  }
}

// A signal that ends the program at the hidden prompt must not leave the
// user's terminal without echo.
TEST(Console, EndingSignalRestoresEcho) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    Pty pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::FILE* in = std::fopen(pty.name().c_str(), "r+");
      if (in == nullptr || !console_set_echo(in, false)) _exit(3);
      raise(sig);
      _exit(4);  // not reached: the signal ends the child
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << sig << ", status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_TRUE(pty.echo_on()) << "signal " << sig;
  }
}

// A signal the program was started with ignored must not end it at the
// hidden prompt, and stays ignored after it.
TEST(Console, IgnoredSignalsStayIgnoredAtTheHiddenPrompt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    Pty pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(sig, SIG_IGN);
      std::FILE* in = std::fopen(pty.name().c_str(), "r+");
      if (in == nullptr || !console_set_echo(in, false)) _exit(3);
      raise(sig);
      if (!console_set_echo(in, true)) _exit(4);
      struct sigaction now = {};
      sigaction(sig, nullptr, &now);
      _exit(now.sa_handler == SIG_IGN ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "signal " << sig << ", status " << status;
    EXPECT_TRUE(pty.echo_on()) << "signal " << sig;
  }
}

TEST(Console, PipeIsNoTerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* in = fdopen(fds[0], "r");
  ASSERT_NE(in, nullptr);
  EXPECT_FALSE(console_is_terminal(in));
  EXPECT_FALSE(console_set_echo(in, false));
  std::fclose(in);
  close(fds[1]);
}
