#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs the probe and returns its wait status, or -1 if it was still running
// after a generous limit (then it is killed).
int run_probe(const char* how) {
  char* const argv[] = {const_cast<char*>(TYVO_EXIT_PROBE), const_cast<char*>(how), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, TYVO_EXIT_PROBE, nullptr, nullptr, argv, environ) != 0) return -2;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status;
}

TEST(ProcessExit, EndsCleanlyWithTasksPending) {
  for (const char* how : {"return", "exit", "thread-ended"}) {
    const int status = run_probe(how);
    ASSERT_NE(status, -1) << how << ": the process hung";
    ASSERT_NE(status, -2) << "could not start " << TYVO_EXIT_PROBE;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << how << ": status " << status;
  }
}

}  // namespace
