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
#include <random>
#include <thread>
#include <vector>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using detail::Clock;
using detail::WallTime;
using std::chrono::nanoseconds;

constexpr auto thirty_years = std::chrono::duration_cast<nanoseconds>(std::chrono::seconds(946'080'000));

TEST(Deadline, DelaysSaturateInsteadOfOverflowing) {
  const Clock::time_point now(5'000'000'123ns);
  struct Case {
    nanoseconds delay;
    Clock::time_point expected;
  };
  const Case cases[] = {
      {0ns, now},
      {-5s, now},  // the past means "now"
      {1500us, now + 1500us},
      {nanoseconds::max(), now + thirty_years},
      {nanoseconds::max() - 5'000'000'123ns, Clock::time_point::max()},  // just representable
      {nanoseconds::max() - 5'000'000'122ns, now + thirty_years},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::deadline_after(now, c.delay), c.expected) << c.delay.count();

  // The wall clock alike, including a clock set back before its epoch.
  const WallTime wall(1'700'000'000s);
  EXPECT_EQ(detail::wall_deadline_after(wall, nanoseconds::max()), wall + thirty_years);
  EXPECT_EQ(detail::wall_deadline_after(wall, 250ms), wall + 250ms);
  const WallTime before_epoch(-5s);
  EXPECT_EQ(detail::wall_deadline_after(before_epoch, nanoseconds::max()), before_epoch + nanoseconds::max());
  // Close to the end of the clock even 30 years do not fit: the end itself.
  const Clock::time_point late = Clock::time_point::max() - 1s;
  EXPECT_EQ(detail::deadline_after(late, nanoseconds::max()), Clock::time_point::max());
}

TEST(TimerHeap, PopsByDeadlineThenInsertionOrderAndRemovesFromAnywhere) {
  std::mt19937 random(12345);
  std::vector<detail::TimerEntry> entries(500);
  detail::TimerHeap heap;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].deadline = static_cast<std::int64_t>(random() % 40);
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
  std::stable_sort(expected.begin(), expected.end(), [](auto* a, auto* b) { return a->deadline < b->deadline; });

  std::vector<const detail::TimerEntry*> popped;
  while (!heap.empty()) popped.push_back(heap.pop());
  EXPECT_EQ(popped, expected);
  EXPECT_TRUE(std::none_of(entries.begin(), entries.end(), [](auto& e) { return e.queued(); }));
}

Task<int> count_true(Receiver<bool>& from) {
  int count = 0;
  while (auto ok = co_await from.recv()) count += *ok ? 1 : 0;
  co_return count;
}

Task<void> sleep_and_check(Clock::time_point deadline, Sender<bool> out) {
  co_await sleep_until(deadline);
  co_await out.send(Clock::now() >= deadline);
}

Task<void> sleep_on_wall_and_check(WallTime deadline, Sender<bool> out) {
  co_await sleep_until_wall(deadline);
  co_await out.send(detail::wall_now() >= deadline);
}

TEST(Timer, ThousandsOfSleepersOnBothClocksNeverWakeBeforeTheirDeadlines) {
  // Deadlines at arbitrary nanoseconds, some already past, many pending at once: not one of them
  // may wake even a nanosecond early, on the steady clock or the wall clock.
  std::mt19937 random(99);
  auto [tx, rx] = channel<bool>(256);
  constexpr int sleepers = 4000;
  const auto start = Clock::now();
  const auto wall_start = detail::wall_now();
  const std::size_t before = detail::pending_timers();
  for (int i = 0; i < sleepers; ++i) {
    const auto offset = nanoseconds(static_cast<std::int64_t>(random() % 300'000'000)) - 2ms;
    if (i % 4 == 0) {
      spawn(sleep_on_wall_and_check(wall_start + offset, tx));
    } else {
      spawn(sleep_and_check(start + offset, tx));
    }
  }
  tx.release();
  EXPECT_EQ(block_on(count_true(rx)), sleepers);
  EXPECT_EQ(detail::pending_timers(), before);
}

TEST(Timer, WakesInDeadlineOrderOnEitherClock) {
  // Deadlines far apart compared with scheduling noise; the strict order of
  // equal deadlines is the heap's business and tested above.
  auto [tx, rx] = channel<int>(16);
  const auto start = Clock::now();
  const auto wall_start = detail::wall_now();
  const int order[] = {3, 0, 5, 4, 1, 2};
  for (int slot : order) {
    if (slot % 2 == 0) {
      spawn([](Clock::time_point deadline, int id, Sender<int> out) -> Task<void> {
        co_await sleep_until(deadline);
        co_await out.send(id);
      }(start + slot * 100ms, slot, tx));
    } else {
      spawn([](WallTime deadline, int id, Sender<int> out) -> Task<void> {
        co_await sleep_until_wall(deadline);
        co_await out.send(id);
      }(wall_start + slot * 100ms, slot, tx));
    }
  }
  tx.release();
  auto collect = [](Receiver<int>& from) -> Task<std::vector<int>> {
    std::vector<int> seen;
    while (auto id = co_await from.recv()) seen.push_back(*id);
    co_return seen;
  };
  EXPECT_EQ(block_on(collect(rx)), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(Timer, AnEarlierSleeperAddedLaterIsNotHeldUpByTheEarliestBefore) {
  // The alarm is set for a sleeper an hour away; one that comes later but is due sooner must
  // move it, not wait for it.
  auto both = []() -> Task<std::size_t> {
    auto outcome = co_await race([]() -> Task<void> { co_await sleep_for(1h); }(),
                                 []() -> Task<std::size_t> {
                                   co_await sleep_for(20ms);
                                   co_return detail::pending_timers();
                                 }());
    co_return std::get<1>(outcome);
  };
  const std::size_t before = detail::pending_timers();
  EXPECT_EQ(block_on(both()), before + 1);  // the hour-long one was still pending
  EXPECT_EQ(detail::pending_timers(), before);
}

TEST(Timer, APastDeadlineGoesOnAtOnceOnTheSameThread) {
  // Back-to-back work (a zero interval) must cost no trip through the timer thread.
  auto zero = []() -> Task<bool> {
    const auto thread = std::this_thread::get_id();
    const auto before = Clock::now();
    co_await sleep_for(0ns);
    co_await sleep_for(-1s);
    co_await sleep_until(before);
    co_await sleep_until_wall(detail::wall_now() - 1s);
    co_return std::this_thread::get_id() == thread && Clock::now() >= before;
  };
  EXPECT_TRUE(block_on(zero()));
}

TEST(Timer, HugeDelaysStayPendingAndCancelledSleepersLeaveNoEntry) {
  // Sleeps that would overflow either clock are pending (not fired, not lost), and cancelled ones
  // leave no entry behind.
  const std::size_t before = detail::pending_timers();
  auto huge = []() -> Task<std::size_t> {
    auto never = []() -> Task<void> {
      co_await race([]() -> Task<void> { co_await sleep_for(nanoseconds::max()); }(),
                    []() -> Task<void> { co_await sleep_until_wall(WallTime::max()); }());
    };
    auto outcome = co_await race(never(), []() -> Task<std::size_t> {
      co_await sleep_for(5ms);
      co_return detail::pending_timers();
    }());
    co_return std::get<1>(outcome);
  };
  EXPECT_EQ(block_on(huge()), before + 2);
  EXPECT_EQ(detail::pending_timers(), before);

  auto many = []() -> Task<int> {
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
      auto outcome = co_await race([]() -> Task<void> { co_await sleep_for(1h); }(),
                                   []() -> Task<void> { co_await sleep_until_wall(detail::wall_now() + 1us); }());
      cancelled += static_cast<int>(outcome.index());
    }
    co_return cancelled;
  };
  EXPECT_EQ(block_on(many()), 200);
  EXPECT_EQ(detail::pending_timers(), before);
}

}  // namespace
}  // namespace tyvo::rt
