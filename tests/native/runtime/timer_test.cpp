#include "bridge/runtime/timer.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/detail/deadline.hpp"
#include "bridge/runtime/detail/timer_heap.hpp"
#include "bridge/runtime/race.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using detail::Clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr auto thirty_years = std::chrono::duration_cast<nanoseconds>(std::chrono::seconds(946'080'000));

Clock::time_point at(nanoseconds since_epoch) { return Clock::time_point(since_epoch); }

TEST(Deadline, DelaysSaturateInsteadOfOverflowing) {
  const auto now = at(5'000'000'123ns);
  struct Case {
    nanoseconds delay;
    Clock::time_point expected;
  };
  const Case cases[] = {
      {0ns, now},
      {-5s, now},  // the past means "next tick"
      {1500us, now + 1500us},
      {nanoseconds::max(), now + thirty_years},
      {nanoseconds::max() - 5'000'000'123ns, Clock::time_point::max()},  // just representable
      {nanoseconds::max() - 5'000'000'122ns, now + thirty_years},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::deadline_after(now, c.delay), c.expected) << c.delay.count();
}

TEST(Deadline, TicksRoundUpToTheNextWholeTick) {
  const auto now = at(1s);
  struct Case {
    Clock::time_point deadline;
    detail::Tick expected;
  };
  const auto tick_count = [](nanoseconds since_epoch) {
    return std::chrono::duration_cast<detail::TickLength>(since_epoch).count();
  };
  const auto one_tick = std::chrono::duration_cast<nanoseconds>(detail::TickLength(1));
  const Case cases[] = {
      {at(7 * one_tick), 7},
      {at(7 * one_tick + 1ns), 8},
      {at(8 * one_tick - 1ns), 8},
      {at(0ns), 0},
      // Too close to the end of the clock to round up: 30 years from now.
      {Clock::time_point::max(), tick_count(1s + thirty_years)},
  };
  for (const Case& c : cases) {
    const detail::Tick tick = detail::tick_not_before(c.deadline, now);
    EXPECT_EQ(tick, c.expected) << c.deadline.time_since_epoch().count();
    if (c.deadline != Clock::time_point::max()) {
      EXPECT_GE(detail::tick_start(tick), c.deadline) << "a tick must never begin before its deadline";
    }
  }
}

TEST(TimerHeap, PopsByTickThenInsertionOrderAndRemovesFromAnywhere) {
  std::mt19937 random(12345);
  std::vector<detail::TimerEntry> entries(500);
  detail::TimerHeap heap;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].tick = static_cast<detail::Tick>(random() % 40);
    entries[i].sequence = i;
    heap.push(&entries[i]);
  }
  // Cancel every third entry, wherever it sits in the heap.
  for (std::size_t i = 0; i < entries.size(); i += 3) heap.remove(&entries[i]);
  EXPECT_FALSE(entries[0].queued());

  std::vector<const detail::TimerEntry*> expected;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i % 3 != 0) expected.push_back(&entries[i]);
  }
  std::stable_sort(expected.begin(), expected.end(), [](auto* a, auto* b) { return a->tick < b->tick; });

  std::vector<const detail::TimerEntry*> popped;
  while (!heap.empty()) popped.push_back(heap.pop());
  EXPECT_EQ(popped, expected);
  EXPECT_TRUE(std::none_of(entries.begin(), entries.end(), [](auto& e) { return e.queued(); }));
}

Task<void> sleep_and_check(Clock::time_point deadline, Sender<bool> out) {
  co_await sleep_until(deadline);
  const auto woke = Clock::now();
  const auto tick = detail::tick_start(detail::tick_not_before(deadline, woke));
  co_await out.send(woke >= tick);
}

TEST(Timer, NeverWakesBeforeTheRoundedUpDeadline) {
  std::mt19937 random(99);
  auto [tx, rx] = channel<bool>(64);
  constexpr int sleepers = 300;
  const auto start = Clock::now();
  for (int i = 0; i < sleepers; ++i) {
    // Deadlines at arbitrary nanoseconds, some already past.
    const auto offset = nanoseconds(static_cast<std::int64_t>(random() % 30'000'000)) - 2ms;
    spawn(sleep_and_check(start + offset, tx));
  }
  tx.release();
  auto count_on_time = [](Receiver<bool>& from) -> Task<int> {
    int on_time = 0;
    while (auto ok = co_await from.recv()) on_time += *ok ? 1 : 0;
    co_return on_time;
  };
  EXPECT_EQ(block_on(count_on_time(rx)), sleepers);
}

TEST(Timer, WakesInDeadlineOrder) {
  // Deadlines far apart compared with scheduling noise; the strict order of
  // equal ticks is the heap's business and tested above.
  auto [tx, rx] = channel<int>(16);
  const auto start = Clock::now();
  const int order[] = {3, 0, 4, 1, 2};
  for (int slot : order) {
    spawn([](Clock::time_point deadline, int id, Sender<int> out) -> Task<void> {
      co_await sleep_until(deadline);
      co_await out.send(id);
    }(start + slot * 100ms, slot, tx));
  }
  tx.release();
  auto collect = [](Receiver<int>& from) -> Task<std::vector<int>> {
    std::vector<int> seen;
    while (auto id = co_await from.recv()) seen.push_back(*id);
    co_return seen;
  };
  EXPECT_EQ(block_on(collect(rx)), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Timer, ZeroAndHugeDelays) {
  auto zero = []() -> Task<bool> {
    const auto before = Clock::now();
    co_await sleep_for(0ns);
    co_await sleep_for(-1s);
    co_return Clock::now() >= before;
  };
  EXPECT_TRUE(block_on(zero()));

  // A sleep that would overflow the clock is pending (not fired, not lost)
  // and a cancelled one leaves no entry behind.
  const std::size_t before = detail::pending_timers();
  auto huge = []() -> Task<std::size_t> {
    auto outcome = co_await race([]() -> Task<void> { co_await sleep_for(nanoseconds::max()); }(),
                                 []() -> Task<std::size_t> {
                                   co_await sleep_for(1ms);
                                   co_return detail::pending_timers();
                                 }());
    co_return std::get<1>(outcome);
  };
  EXPECT_EQ(block_on(huge()), before + 1);
  EXPECT_EQ(detail::pending_timers(), before);
}

TEST(Timer, CancellingSleepersRemovesTheirEntries) {
  const std::size_t before = detail::pending_timers();
  auto many = []() -> Task<int> {
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
      auto outcome = co_await race([]() -> Task<void> { co_await sleep_for(1h); }(),
                                   []() -> Task<void> { co_await sleep_for(0ms); }());
      cancelled += static_cast<int>(outcome.index());
    }
    co_return cancelled;
  };
  EXPECT_EQ(block_on(many()), 200);
  EXPECT_EQ(detail::pending_timers(), before);
}

}  // namespace
}  // namespace tyvo::rt
