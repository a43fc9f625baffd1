#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

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
    const int fd = open(name_.c_str(), O_RDWR | O_NOCTTY);
    termios mode{};
    const bool got = fd >= 0 && tcgetattr(fd, &mode) == 0;
    if (fd >= 0) close(fd);
    return got && (mode.c_lflag & ECHO) != 0;
  }

 private:
  int master_ = -1;
  std::string name_;
};

}  // namespace

TEST(Console, EchoOffAndOnAgain) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
  std::FILE* in = std::fopen(pty.name().c_str(), "r+");
  ASSERT_NE(in, nullptr);
  EXPECT_TRUE(console_is_terminal(in));
  ASSERT_TRUE(console_set_echo(in, false));
  EXPECT_FALSE(pty.echo_on());
  ASSERT_TRUE(console_set_echo(in, true));
  EXPECT_TRUE(pty.echo_on());
  std::fclose(in);
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
