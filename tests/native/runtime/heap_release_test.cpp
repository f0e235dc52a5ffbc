#include "bridge/runtime/heap_release.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/timer.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using detail::heap_releases;

// Waits up to `bound` for the release count to reach `wanted`; generous for a busy machine.
bool releases_reach(std::size_t wanted, std::chrono::seconds bound = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (heap_releases() < wanted && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  return heap_releases() >= wanted;
}

// One release per burst, and only once the burst is over: calls every 50 ms keep it waiting (the
// quiet period is a second), and a burst of calls never makes more than one.
TEST(HeapRelease, OnceAfterEachBurstIsOver) {
  std::this_thread::sleep_for(1500ms);  // a release an earlier test left pending has landed
  const std::size_t before = heap_releases();
  for (int i = 0; i < 10; ++i) {
    release_heap_after_burst();
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(heap_releases(), before);  // still under way
  ASSERT_TRUE(releases_reach(before + 1));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(heap_releases(), before + 1);

  release_heap_after_burst();  // a later burst gets a release of its own
  ASSERT_TRUE(releases_reach(before + 2));
}

Task<void> nap() { co_await sleep_for(1ms); }

// A release pending in the parent would never happen in a forked child: the child makes its own.
TEST(HeapRelease, ForkedChildReleasesForItself) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "the thread sanitizer refuses new threads after a multi-threaded fork";
#endif
  // The parent's pool and timer thread exist before the fork, as in a program that has been
  // running: a fork made while a worker creates the timer thread would copy that half-done.
  block_on(nap());
  release_heap_after_burst();  // pending in the parent while it forks
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const std::size_t before = heap_releases();
    release_heap_after_burst();
    _exit(releases_reach(before + 1) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tyvo::rt
