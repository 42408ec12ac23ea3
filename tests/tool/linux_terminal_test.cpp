// The program at a hidden prompt on a pseudo-terminal: a signal that ends
// or stops it leaves the terminal showing what is typed.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool Echoes(int fd) {
  termios settings{};
  EXPECT_EQ(tcgetattr(fd, &settings), 0);
  return (settings.c_lflag & ECHO) != 0;
}

// Waits up to 10 s for the terminal's echo to be `on`.
bool EchoBecomes(int fd, bool on) {
  for (int i = 0; i < 1000; ++i) {
    if (Echoes(fd) == on) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits up to 10 s for the child to end or stop; kills it after that, so
// that a program that ignores the signal fails the test, not hangs it.
bool Waited(pid_t child, int* status) {
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(child, status, WNOHANG | WUNTRACED) == child) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, status, 0);
  return false;
}

class HiddenPromptTest : public ::testing::TestWithParam<int> {};

TEST_P(HiddenPromptTest, SignalRestoresTheEcho) {
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer runs a signal's handler only when the program next
  // enters a call it watches; a program waiting in the C library's read of
  // standard input never does.
  GTEST_SKIP() << "signal handlers are deferred under ThreadSanitizer";
#endif
  const int signal = GetParam();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string name = ptsname(master);
  const int terminal = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_TRUE(Echoes(terminal));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A process group of its own in this session, so that a stop is not
    // discarded as it is for an orphaned group.
    setpgid(0, 0);
    dup2(terminal, 0);
    dup2(terminal, 1);
    dup2(terminal, 2);
    execl(VANTOR_PROGRAM, "vantor", "--sim", "pin", "verify", "user",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(EchoBecomes(terminal, false)) << "no hidden prompt";
  ASSERT_EQ(kill(child, signal), 0);
  int status = 0;
  ASSERT_TRUE(Waited(child, &status)) << "the signal did not take effect";
  EXPECT_TRUE(Echoes(terminal));
  if (signal == SIGTSTP) {
    EXPECT_TRUE(WIFSTOPPED(status));
    // Continued, it hides the secret again; ended, it shows the echo.
    ASSERT_EQ(kill(child, SIGCONT), 0);
    EXPECT_TRUE(EchoBecomes(terminal, false));
    ASSERT_EQ(kill(child, SIGTERM), 0);
    ASSERT_TRUE(Waited(child, &status)) << "SIGTERM did not end it";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(Echoes(terminal));
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
  }
  close(terminal);
  close(master);
}

INSTANTIATE_TEST_SUITE_P(Signals, HiddenPromptTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGTSTP),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return std::string(sigabbrev_np(param.param));
                         });

}  // namespace
#endif
