#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/timer.hpp"
#include "counted.hpp"
#include "manual_executor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <vector>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::finished;
using testing::Ledger;
using testing::ManualExecutor;

Task<bool> send_one(Sender<Counted>& tx, Counted message) { co_return co_await tx.send(std::move(message)); }

Task<std::optional<int>> recv_id(Receiver<Counted>& rx) {
  auto message = co_await rx.recv();
  co_return message ? std::optional<int>(message->id()) : std::nullopt;
}

TEST(Channel, ZeroCapacityIsRefused) { EXPECT_THROW(channel<int>(0), std::invalid_argument); }

TEST(Channel, SendWaitsWhileFullAndMessagesKeepTheirOrder) {
  Ledger ledger(3);
  ManualExecutor executor;
  auto [tx, rx] = channel<Counted>(2);

  Task<bool> first = send_one(tx, Counted(ledger, 0));
  Task<bool> second = send_one(tx, Counted(ledger, 1));
  Task<bool> third = send_one(tx, Counted(ledger, 2));
  executor.start(first);
  executor.start(second);
  executor.start(third);
  EXPECT_TRUE(finished(first));
  EXPECT_TRUE(finished(second));
  EXPECT_FALSE(finished(third)) << "the channel holds two messages";

  Task<std::optional<int>> receive = recv_id(rx);
  executor.start(receive);
  ASSERT_TRUE(finished(receive));
  EXPECT_EQ(detail::TaskAccess::take_result(receive), 0);
  EXPECT_EQ(executor.run_ready(), 1) << "taking a message lets the blocked sender in";
  ASSERT_TRUE(finished(third));
  EXPECT_TRUE(detail::TaskAccess::take_result(third));

  EXPECT_EQ(rx.try_recv()->id(), 1);
  EXPECT_EQ(rx.try_recv()->id(), 2);
  EXPECT_FALSE(rx.try_recv().has_value());
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Channel, ReceiverDrainsThenSeesTheEndWhenTheLastSenderGoes) {
  Ledger ledger(2);
  auto [tx, rx] = channel<Counted>(4);
  Sender<Counted> copy = tx;
  EXPECT_TRUE(block_on(send_one(tx, Counted(ledger, 0))));
  EXPECT_TRUE(block_on(send_one(copy, Counted(ledger, 1))));
  tx.release();

  ManualExecutor executor;
  EXPECT_EQ(block_on(recv_id(rx)), 0);
  EXPECT_EQ(block_on(recv_id(rx)), 1);
  Task<std::optional<int>> waiting = recv_id(rx);
  executor.start(waiting);
  EXPECT_FALSE(finished(waiting)) << "one sender is left";
  copy = Sender<Counted>();
  EXPECT_EQ(executor.run_ready(), 1);
  ASSERT_TRUE(finished(waiting));
  EXPECT_EQ(detail::TaskAccess::take_result(waiting), std::nullopt);
  EXPECT_EQ(block_on(recv_id(rx)), std::nullopt) << "the end is sticky";
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Channel, ReleasingTheReceiverFailsWaitingAndLaterSendsAndDropsQueuedMessages) {
  Ledger ledger(4);
  ManualExecutor executor;
  auto [tx, rx] = channel<Counted>(1);
  EXPECT_TRUE(block_on(send_one(tx, Counted(ledger, 0))));
  Task<bool> blocked = send_one(tx, Counted(ledger, 1));
  Sender<Counted> other = tx;
  Task<bool> also_blocked = send_one(other, Counted(ledger, 2));
  executor.start(blocked);
  executor.start(also_blocked);
  EXPECT_FALSE(tx.is_closed());

  rx.release();
  EXPECT_EQ(ledger.drops(0), 1) << "the queued message is destroyed with the receiver";
  EXPECT_TRUE(tx.is_closed());
  EXPECT_EQ(executor.run_ready(), 2);
  EXPECT_FALSE(detail::TaskAccess::take_result(blocked));
  EXPECT_FALSE(detail::TaskAccess::take_result(also_blocked));
  EXPECT_FALSE(block_on(send_one(tx, Counted(ledger, 3))));
  blocked = Task<bool>();
  also_blocked = Task<bool>();
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Channel, CancelledSendIsNeitherQueuedNorLeaked) {
  Ledger ledger(2);
  ManualExecutor executor;
  auto [tx, rx] = channel<Counted>(1);
  EXPECT_TRUE(block_on(send_one(tx, Counted(ledger, 0))));
  {
    Task<bool> blocked = send_one(tx, Counted(ledger, 1));
    executor.start(blocked);
    EXPECT_FALSE(finished(blocked));
  }  // destroyed while waiting for room
  EXPECT_EQ(ledger.drops(1), 1);
  EXPECT_EQ(rx.try_recv()->id(), 0);
  EXPECT_FALSE(rx.try_recv().has_value()) << "the cancelled message never entered the queue";
  EXPECT_EQ(executor.run_ready(), 0) << "nothing wakes a cancelled sender";
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Channel, CancelledReceiveLeavesItsWokenMessageAtTheFront) {
  Ledger ledger(2);
  ManualExecutor executor;
  auto [tx, rx] = channel<Counted>(4);
  {
    Task<std::optional<int>> receive = recv_id(rx);
    executor.start(receive);
    EXPECT_TRUE(block_on(send_one(tx, Counted(ledger, 0))));
    EXPECT_EQ(executor.queued(), 1u) << "the receive is woken";
    EXPECT_TRUE(block_on(send_one(tx, Counted(ledger, 1))));
  }  // destroyed after its wake, before it ran
  EXPECT_EQ(ledger.total_drops(), 0);
  EXPECT_EQ(block_on(recv_id(rx)), 0);
  EXPECT_EQ(block_on(recv_id(rx)), 1);
  EXPECT_TRUE(ledger.each_dropped_once());
}

TEST(Channel, ReceiveCancelledByARaceMissesNothing) {
  auto [tx, rx] = channel<int>(4);
  auto timed_out = [](Receiver<int>& from) -> Task<bool> {
    auto outcome =
        co_await race([](Receiver<int>& r) -> Task<std::optional<int>> { co_return co_await r.recv(); }(from),
                      []() -> Task<void> { co_await sleep_for(2ms); }());
    co_return outcome.index() == 1;
  };
  EXPECT_TRUE(block_on(timed_out(rx)));
  auto send_later = [](Sender<int> to) -> Task<bool> { co_return co_await to.send(41); };
  EXPECT_TRUE(block_on(send_later(tx)));
  EXPECT_EQ(rx.try_recv(), 41);
}

}  // namespace
}  // namespace tyvo::rt

namespace tyvo::rt {
namespace {

TEST(Channel, TrySendQueuesWithoutWaitingAndGivesTheMessageBackWhenItCannot) {
  testing::ManualExecutor executor;
  auto [tx, rx] = channel<std::vector<int>>(1);
  Task<std::optional<std::vector<int>>> waiting =
      [](Receiver<std::vector<int>>& rx) -> Task<std::optional<std::vector<int>>> {
    co_return co_await rx.recv();
  }(rx);
  executor.start(waiting);

  std::vector<int> first{1, 2};
  EXPECT_EQ(tx.try_send(first), TrySend::Sent);
  std::vector<int> second{3};
  EXPECT_EQ(tx.try_send(second), TrySend::Full);
  EXPECT_EQ(second, std::vector<int>{3}) << "a refused message stays with the caller";

  EXPECT_EQ(executor.run_ready(), 1) << "a queued message wakes the waiting receiver";
  ASSERT_TRUE(testing::finished(waiting));
  EXPECT_EQ(detail::TaskAccess::take_result(waiting), std::vector<int>({1, 2}));

  rx.release();
  EXPECT_EQ(tx.try_send(second), TrySend::Closed);
  EXPECT_EQ(second, std::vector<int>{3});
}

}  // namespace
}  // namespace tyvo::rt
