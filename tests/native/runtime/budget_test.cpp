// Tasks whose awaits are always ready must still let every other task run, even when there are
// more of them than workers; and what they received before giving way must not be lost.
#include "bridge/runtime/bell.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/detail/pool.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"
#include "bridge/runtime/unless_signalled.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;

// Each test runs in a process of its own (ctest): held to one CPU before the pool exists, the
// pool has one worker, the harshest case.
std::size_t workers_on_one_cpu() {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);
  return detail::Pool::instance().thread_count();
}

struct Latch {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  void arrive() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  bool wait_for(int expected, std::chrono::seconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return count >= expected; });
  }
};

Task<void> sleep_past_deadlines(const std::atomic<bool>& stop, Latch& ended) {
  while (!stop.load()) co_await sleep_for(0ns);
  ended.arrive();
}

Task<void> sleep_past_deadlines_unless_signalled(const std::atomic<bool>& stop, Latch& ended) {
  auto [signal_tx, signal_rx] = channel<Signal>(1);
  while (!stop.load()) (void)co_await sleep_unless_signalled(signal_rx, 0ns);
  ended.arrive();
}

// Every receive finds a message: it sends itself the next one.
Task<void> receive_own_messages(const std::atomic<bool>& stop, Latch& ended, long& received) {
  auto [tx, rx] = channel<int>(2);
  (void)co_await tx.send(0);
  while (!stop.load()) {
    auto message = co_await rx.recv();
    if (!message) break;
    ++received;
    (void)co_await tx.send(*message + 1);
  }
  ended.arrive();
}

Task<void> arrive(Latch& latch) {
  latch.arrive();
  co_return;
}

TEST(Budget, TasksWhoseAwaitsAreAlwaysReadyLetOthersRun) {
  const auto workers = static_cast<int>(workers_on_one_cpu());
  std::atomic<bool> stop{false};
  Latch ended;
  std::vector<long> received(workers + 1, 0);
  int spinners = 0;
  for (int i = 0; i <= workers; ++i) {  // more of each kind than there are workers
    spawn(sleep_past_deadlines(stop, ended));
    spawn(sleep_past_deadlines_unless_signalled(stop, ended));
    spawn(receive_own_messages(stop, ended, received[i]));
    spinners += 3;
  }
  Latch other;
  spawn(arrive(other));
  const bool other_ran = other.wait_for(1, 60s);
  stop.store(true);
  EXPECT_TRUE(other_ran) << "a task never got a worker";
  ASSERT_TRUE(ended.wait_for(spinners, 60s));
  for (long count : received) EXPECT_GT(count, 0);
}

TEST(Budget, AReceiveThatGivesWayKeepsItsMessage) {
  workers_on_one_cpu();
  // Many receives, each finding its message at once: some of them give way with the message
  // still queued, and every message must still arrive exactly once and in order.
  auto [tx, rx] = channel<int>(1024);
  constexpr int count = 20'000;
  auto consume = [](Receiver<int>& messages) -> Task<long> {
    long sum = 0;
    int expected = 0;
    while (auto message = co_await messages.recv()) {
      if (*message != expected++) co_return -1;
      sum += *message;
    }
    co_return sum;
  };
  std::thread producer([&tx] {
    for (int i = 0; i < count; ++i) {
      int message = i;
      while (tx.try_send(message) == TrySend::Full) std::this_thread::yield();
    }
    tx = Sender<int>();
  });
  const long sum = block_on(consume(rx));
  producer.join();
  EXPECT_EQ(sum, static_cast<long>(count) * (count - 1) / 2);
}

Task<bool> until_rung(Bell& bell, std::uint64_t noted, Receiver<Signal>& stop) {
  co_return static_cast<bool>(co_await UnlessSignalled<Bell::Wait>(stop, [&] { return bell.rung_since(noted); }));
}

TEST(Bell, ARingWakesEveryWaiterAndOneBeforeTheWaitIsNotMissed) {
  Bell bell;
  auto [stop_tx, stop_rx] = channel<Signal>(1);
  // Rung between the note and the wait: the wait ends at once.
  const auto noted = bell.rings();
  bell.ring();
  EXPECT_TRUE(block_on(until_rung(bell, noted, stop_rx)));

  // Rung while they wait: all of them wake.
  Latch woken;
  auto waiter = [](Bell& bell, std::uint64_t noted, Latch& woken) -> Task<void> {
    auto [stop_tx, stop_rx] = channel<Signal>(1);
    if (co_await UnlessSignalled<Bell::Wait>(stop_rx, [&] { return bell.rung_since(noted); })) woken.arrive();
  };
  const auto before = bell.rings();
  for (int i = 0; i < 50; ++i) spawn(waiter(bell, before, woken));
  EXPECT_FALSE(woken.wait_for(1, std::chrono::seconds(0)));
  bell.ring();
  EXPECT_TRUE(woken.wait_for(50, 60s));
}

TEST(Bell, AWaitEndedByItsStopLeavesTheBell) {
  Bell bell;
  for (int round = 0; round < 200; ++round) {
    auto [stop_tx, stop_rx] = channel<Signal>(1);
    std::thread stopper([&stop_tx] {
      Signal signal;
      (void)stop_tx.try_send(signal);
    });
    EXPECT_FALSE(block_on(until_rung(bell, bell.rings(), stop_rx)));
    stopper.join();
    bell.ring();  // must not reach the wait that is gone (the sanitizer passes would see it)
  }
}

}  // namespace
}  // namespace tyvo::rt
