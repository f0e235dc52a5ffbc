#include "bridge/run_ticket.hpp"
#include "bridge/runtime/block_on.hpp"
#include "manual_executor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace tyvo::py {
namespace {

using rt::Task;
using rt::testing::finished;
using rt::testing::ManualExecutor;

auto wanted_flag(bool value) { return std::make_shared<std::atomic<bool>>(value); }

Task<void> withdrawn(RunTicket& ticket) { co_await ticket.withdraw(); }

TEST(RunTicket, AWithdrawnRunNeverBeginsAndAPausedOneIsTurnedAway) {
  RunTicket stopped(wanted_flag(true));
  rt::block_on(withdrawn(stopped));
  EXPECT_EQ(stopped.begin(), RunTicket::Verdict::withdrawn);

  RunTicket dropped(wanted_flag(true));
  dropped.withdraw_now();
  EXPECT_EQ(dropped.begin(), RunTicket::Verdict::withdrawn);

  auto active = wanted_flag(true);
  RunTicket paused(active);
  active->store(false);
  EXPECT_EQ(paused.begin(), RunTicket::Verdict::unwanted);
  ManualExecutor executor;
  auto task = withdrawn(paused);
  executor.start(task);
  EXPECT_TRUE(finished(task)) << "nothing is being begun: no wait";
}

TEST(RunTicket, WithdrawingARunBeingBegunWaitsUntilTheStarterSettlesIt) {
  RunTicket ticket(wanted_flag(true));
  ASSERT_EQ(ticket.begin(), RunTicket::Verdict::begin);
  ManualExecutor executor;
  auto task = withdrawn(ticket);
  executor.start(task);
  EXPECT_FALSE(finished(task));
  std::thread starter([&ticket] { ticket.settle(); });
  starter.join();
  ASSERT_TRUE(executor.wait_for_work());
  executor.run_ready();
  EXPECT_TRUE(finished(task));
  ticket.settle();  // a second settle (the starter's hold let go) changes nothing
}

// Many tickets, a starter and a stopping task meeting on each (before, while and after the
// starter begins it): once the withdrawal is over, the run has either been handed over already or
// never will be. Meant for the thread sanitizer as much as for the check.
TEST(RunTicket, NoRunIsHandedOverOnceItsWithdrawalIsOver) {
  constexpr int tickets = 2000;
  std::vector<std::unique_ptr<RunTicket>> all;
  for (int i = 0; i < tickets; ++i) all.push_back(std::make_unique<RunTicket>(wanted_flag(true)));
  std::vector<std::atomic<bool>> handed_over(tickets);
  std::atomic<int> reached{-1};
  std::thread starter([&] {
    for (int i = 0; i < tickets; ++i) {
      reached.store(i);
      if (i % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(i % 3 * 10));
      if (all[i]->begin() != RunTicket::Verdict::begin) continue;
      std::this_thread::sleep_for(std::chrono::microseconds(20));  // calling, handing over
      handed_over[i].store(true);
      all[i]->settle();
    }
  });
  std::vector<bool> handed_when_withdrawn(tickets);
  ManualExecutor executor;
  for (int i = 0; i < tickets; ++i) {
    while (reached.load() < i) std::this_thread::yield();
    auto task = withdrawn(*all[i]);
    executor.start(task);
    while (!finished(task)) {
      ASSERT_TRUE(executor.wait_for_work());
      executor.run_ready();
    }
    handed_when_withdrawn[i] = handed_over[i].load();
  }
  starter.join();
  for (int i = 0; i < tickets; ++i) EXPECT_EQ(handed_over[i].load(), handed_when_withdrawn[i]) << i;
}

}  // namespace
}  // namespace tyvo::py
