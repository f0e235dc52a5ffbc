#include "bridge/runtime/task.hpp"
#include "bridge/runtime/block_on.hpp"
#include "counted.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace tyvo::rt {
namespace {

using testing::Counted;
using testing::Ledger;

Task<int> add(int a, int b) { co_return a + b; }

Task<long long> sum_of_sums(int n) {
  long long total = 0;
  for (int i = 0; i < n; ++i) total += co_await add(i, 1);
  co_return total;
}

TEST(Task, AwaitingYieldsTheValueAndNestsWithoutGrowingTheStack) {
  // Every inner task finishes without suspending; symmetric transfer keeps
  // a long loop of them from piling up stack frames.
  EXPECT_EQ(block_on(sum_of_sums(200'000)), 200'000LL * 199'999 / 2 + 200'000);
}

TEST(Task, DoesNotStartUntilAwaited) {
  bool ran = false;
  auto body = [&]() -> Task<void> {
    ran = true;
    co_return;
  };
  Task<void> task = body();
  EXPECT_FALSE(ran);
  block_on(std::move(task));
  EXPECT_TRUE(ran);
}

Task<void> fail_with(std::string message) {
  throw std::runtime_error(message);
  co_return;
}

Task<int> catch_inner() {
  try {
    co_await fail_with("inner");
  } catch (const std::runtime_error& error) {
    co_return static_cast<int>(std::string(error.what()).size());
  }
  co_return -1;
}

TEST(Task, ExceptionsPropagateToTheAwaiter) {
  EXPECT_EQ(block_on(catch_inner()), 5);
  EXPECT_THROW(block_on(fail_with("outer")), std::runtime_error);
}

Task<Counted> hand_over(Counted value) { co_return std::move(value); }

TEST(Task, MoveOnlyValuesAreNeitherCopiedNorLost) {
  Ledger ledger(2);
  {
    Counted result = block_on(hand_over(Counted(ledger, 0)));
    EXPECT_EQ(result.id(), 0);
    EXPECT_EQ(ledger.drops(0), 0);
  }
  EXPECT_EQ(ledger.drops(0), 1);

  // A task destroyed before it ever ran still releases its arguments.
  { Task<Counted> never = hand_over(Counted(ledger, 1)); }
  EXPECT_TRUE(ledger.each_dropped_once());
}

}  // namespace
}  // namespace tyvo::rt
