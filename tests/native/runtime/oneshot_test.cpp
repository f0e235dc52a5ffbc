#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/timer.hpp"
#include "counted.hpp"
#include "manual_executor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::finished;
using testing::Ledger;
using testing::ManualExecutor;

Task<std::optional<int>> await_id(OneshotReceiver<Counted>& rx) {
  auto value = co_await rx;
  co_return value ? std::optional<int>(value->id()) : std::nullopt;
}

TEST(Oneshot, DeliversAValueSentFromAnotherThread) {
  Ledger ledger(1);
  auto [tx, rx] = oneshot<Counted>();
  ManualExecutor executor;
  Task<std::optional<int>> waiting = await_id(rx);
  executor.start(waiting);
  EXPECT_FALSE(finished(waiting));

  std::thread sender([&tx, &ledger] { EXPECT_TRUE(tx.send(Counted(ledger, 0))); });
  sender.join();
  EXPECT_FALSE(tx.send(Counted(ledger, 0))) << "one value only";
  EXPECT_EQ(ledger.drops(0), 1) << "the refused second value is dropped";

  ASSERT_TRUE(executor.wait_for_work());
  executor.run_ready();
  ASSERT_TRUE(finished(waiting));
  EXPECT_EQ(detail::TaskAccess::take_result(waiting), 0);
  EXPECT_EQ(ledger.drops(0), 2);
}

TEST(Oneshot, SenderReleasedWithoutSendingYieldsNothing) {
  auto [tx, rx] = oneshot<Counted>();
  ManualExecutor executor;
  Task<std::optional<int>> waiting = await_id(rx);
  executor.start(waiting);
  EXPECT_FALSE(finished(waiting));
  tx.release();
  EXPECT_EQ(executor.run_ready(), 1);
  EXPECT_EQ(detail::TaskAccess::take_result(waiting), std::nullopt);
  EXPECT_EQ(block_on(await_id(rx)), std::nullopt);
}

TEST(Oneshot, ReceiverReleasedClosesTheSenderAndDropsTheValue) {
  Ledger ledger(2);
  {
    auto [tx, rx] = oneshot<Counted>();
    EXPECT_FALSE(tx.is_closed());
    rx.release();
    EXPECT_TRUE(tx.is_closed());
    EXPECT_FALSE(tx.send(Counted(ledger, 0)));
    EXPECT_EQ(ledger.drops(0), 1);
  }
  {
    // Sent but never received: destroyed once, when both ends are gone.
    auto [tx, rx] = oneshot<Counted>();
    EXPECT_TRUE(tx.send(Counted(ledger, 1)));
    rx.release();
    EXPECT_EQ(ledger.drops(1), 0);
  }
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Oneshot, CancelledWaitKeepsTheValueForTheNextOne) {
  Ledger ledger(1);
  auto [tx, rx] = oneshot<Counted>();
  auto impatient = [](OneshotReceiver<Counted>& from) -> Task<bool> {
    auto outcome = co_await race(await_id(from), []() -> Task<void> { co_await sleep_for(1ms); }());
    co_return outcome.index() == 1;
  };
  EXPECT_TRUE(block_on(impatient(rx)));
  EXPECT_FALSE(tx.is_closed());
  EXPECT_TRUE(tx.send(Counted(ledger, 0)));
  EXPECT_EQ(block_on(await_id(rx)), 0);
  EXPECT_TRUE(ledger.each_dropped_once());
}

}  // namespace
}  // namespace tyvo::rt
