#include "bridge/runtime/race.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/timer.hpp"
#include "counted.hpp"
#include "manual_executor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <variant>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::finished;
using testing::Ledger;
using testing::ManualExecutor;

using Stop = Receiver<Signal>;

Task<void> until_stopped(Stop& stop) { co_await stop.recv(); }

Task<int> sleep_then(std::chrono::milliseconds delay, int value) {
  co_await sleep_for(delay);
  co_return value;
}

Task<bool> signal(Sender<Signal>& to) { co_return co_await to.send(Signal{}); }

Task<std::size_t> stop_or_sleep(Stop& stop, std::chrono::milliseconds delay) {
  auto outcome = co_await race(until_stopped(stop), sleep_then(delay, 1));
  co_return outcome.index();
}

// Long enough for the race to be set up before the timer fires, even on a
// slow sanitizer build; the tests wait for the wake, they do not time it.
constexpr auto setup_time = 300ms;

TEST(Race, StopAndTimerReadyTogetherStopWins) {
  ManualExecutor executor;
  auto [stop_tx, stop_rx] = channel<Signal>(1);
  Task<std::size_t> job = stop_or_sleep(stop_rx, setup_time);
  executor.start(job);
  ASSERT_FALSE(finished(job));

  // The timer fires first and wakes the race; the stop arrives before the
  // race gets to run. Both are ready: the first branch must win.
  ASSERT_TRUE(executor.wait_for_work());
  EXPECT_TRUE(block_on(signal(stop_tx)));
  executor.run_ready();
  ASSERT_TRUE(finished(job));
  EXPECT_EQ(detail::TaskAccess::take_result(job), 0u);
}

TEST(Race, TimerAloneWinsAndALaterStopStaysQueued) {
  ManualExecutor executor;
  auto [stop_tx, stop_rx] = channel<Signal>(1);
  Task<std::size_t> job = stop_or_sleep(stop_rx, setup_time);
  executor.start(job);
  ASSERT_FALSE(finished(job));
  ASSERT_TRUE(executor.wait_for_work());
  executor.run_ready();
  ASSERT_TRUE(finished(job));
  EXPECT_EQ(detail::TaskAccess::take_result(job), 1u);
  EXPECT_TRUE(block_on(signal(stop_tx)));
  EXPECT_TRUE(stop_rx.try_recv().has_value());
}

Task<int> received_id(Receiver<Counted>& rx) {
  auto message = co_await rx.recv();
  co_return message ? message->id() : -1;
}

Task<bool> send_id(Sender<Counted>& tx, Ledger& ledger, int id) {
  co_return co_await tx.send(Counted(ledger, id));
}

TEST(Race, TheLoserNeverConsumesItsMessage) {
  Ledger ledger(3);
  ManualExecutor executor;
  auto [first_tx, first_rx] = channel<Counted>(4);
  auto [second_tx, second_rx] = channel<Counted>(4);
  auto both = [](Receiver<Counted>& a, Receiver<Counted>& b) -> Task<int> {
    auto outcome = co_await race(received_id(a), received_id(b));
    co_return outcome.index() == 0 ? std::get<0>(outcome) : 100 + std::get<1>(outcome);
  };
  Task<int> racing = both(first_rx, second_rx);
  executor.start(racing);

  // The second branch is woken before the first, but both before the race
  // runs: the first branch is looked at first and wins.
  EXPECT_TRUE(block_on(send_id(second_tx, ledger, 1)));
  EXPECT_TRUE(block_on(send_id(second_tx, ledger, 2)));
  EXPECT_TRUE(block_on(send_id(first_tx, ledger, 0)));
  executor.run_ready();
  ASSERT_TRUE(finished(racing));
  EXPECT_EQ(detail::TaskAccess::take_result(racing), 0);

  EXPECT_EQ(ledger.drops(1), 0) << "the loser's message is still queued";
  EXPECT_EQ(block_on(received_id(second_rx)), 1) << "and still at the front";
  EXPECT_EQ(block_on(received_id(second_rx)), 2);
  EXPECT_TRUE(ledger.each_dropped_once());
}

Task<int> hold_until_destroyed(Counted guard) {
  co_await sleep_for(1h);
  co_return guard.id();
}

Task<int> throw_after(std::chrono::milliseconds delay) {
  co_await sleep_for(delay);
  throw std::runtime_error("branch failed");
}

TEST(Race, TheLoserIsDestroyedBeforeTheRaceYields) {
  Ledger ledger(2);
  auto observe = [](Ledger& l) -> Task<int> {
    auto outcome = co_await race(hold_until_destroyed(Counted(l, 0)), sleep_then(1ms, 5));
    co_return l.drops(0) * 10 + std::get<1>(outcome);
  };
  EXPECT_EQ(block_on(observe(ledger)), 15);

  auto failing = [](Ledger& l) -> Task<void> {
    co_await race(throw_after(1ms), hold_until_destroyed(Counted(l, 1)));
  };
  EXPECT_THROW(block_on(failing(ledger)), std::runtime_error);
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Race, AFirstBranchThatNeverSuspendsWinsBeforeTheSecondStarts) {
  auto immediate = []() -> Task<std::size_t> {
    bool second_started = false;
    auto outcome = co_await race([]() -> Task<int> { co_return 1; }(),
                                 [](bool& started) -> Task<void> {
                                   started = true;
                                   co_return;
                                 }(second_started));
    co_return outcome.index() + (second_started ? 10 : 0);
  };
  EXPECT_EQ(block_on(immediate()), 0u);
}

TEST(Race, NestedRacesCancelWholeSubtrees) {
  ManualExecutor executor;
  const std::size_t timers_before = detail::pending_timers();
  auto [stop_tx, stop_rx] = channel<Signal>(1);
  auto nested = [](Stop& stop) -> Task<std::size_t> {
    auto inner = [](Stop& s) -> Task<std::size_t> {
      co_return co_await stop_or_sleep(s, std::chrono::hours(1));
    };
    auto outcome = co_await race(inner(stop), sleep_then(std::chrono::hours(1), 0));
    co_return outcome.index() * 10 + std::get<0>(outcome);
  };
  Task<std::size_t> racing = nested(stop_rx);
  executor.start(racing);
  EXPECT_EQ(detail::pending_timers(), timers_before + 2);
  EXPECT_TRUE(block_on(signal(stop_tx)));
  executor.run_ready();
  ASSERT_TRUE(finished(racing));
  EXPECT_EQ(detail::TaskAccess::take_result(racing), 0u);
  EXPECT_EQ(detail::pending_timers(), timers_before);
}

TEST(Race, DestroyingAnIdleRaceUnregistersBothBranches) {
  ManualExecutor executor;
  const std::size_t timers_before = detail::pending_timers();
  auto [stop_tx, stop_rx] = channel<Signal>(1);
  {
    Task<std::size_t> racing = stop_or_sleep(stop_rx, std::chrono::hours(1));
    executor.start(racing);
    EXPECT_EQ(detail::pending_timers(), timers_before + 1);
  }
  EXPECT_EQ(detail::pending_timers(), timers_before);
  EXPECT_TRUE(block_on(signal(stop_tx)));
  EXPECT_EQ(executor.queued(), 0u) << "no wake reaches the destroyed race";
}

}  // namespace
}  // namespace tyvo::rt
