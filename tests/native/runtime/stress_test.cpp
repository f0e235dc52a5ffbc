#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"
#include "counted.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::Ledger;

Task<void> sleepy_worker(int id, Sender<int> done) {
  for (int i = 0; i < 3; ++i) co_await sleep_for(std::chrono::milliseconds((id + i) % 3));
  co_await done.send(id);
}

TEST(Stress, ThousandsOfSpawnedTasksAllFinish) {
  constexpr int tasks = 5000;
  auto [tx, rx] = channel<int>(64);
  for (int id = 0; id < tasks; ++id) spawn(sleepy_worker(id, tx));
  tx.release();
  auto count = [](Receiver<int>& from) -> Task<std::vector<int>> {
    std::vector<int> seen(tasks);
    while (auto id = co_await from.recv()) ++seen[static_cast<std::size_t>(*id)];
    co_return seen;
  };
  EXPECT_EQ(block_on(count(rx)), std::vector<int>(tasks, 1));
}

struct Tagged {
  int producer;
  int sequence;
  Counted payload;
};

Task<int> produce(Sender<Tagged> to, Ledger& ledger, int producer, int count) {
  int accepted = 0;
  for (int i = 0; i < count; ++i) {
    // Named first: g++ 12 destroys the members of a braced aggregate
    // built inside a co_await expression twice.
    Tagged message{producer, i, Counted(ledger, producer * count + i)};
    accepted += co_await to.send(std::move(message)) ? 1 : 0;
  }
  co_return accepted;
}

constexpr int spawned_producers = 6;
constexpr int blocking_producers = 2;  // driven from plain threads through block_on
constexpr int producers = spawned_producers + blocking_producers;
constexpr int per_producer = 4000;

TEST(Stress, ConcurrentSendersLoseNothingAndKeepTheirOrder) {
  Ledger ledger(producers * per_producer);
  auto [tx, rx] = channel<Tagged>(8);

  for (int p = 0; p < spawned_producers; ++p)
    spawn([](Sender<Tagged> to, Ledger& l, int id) -> Task<void> {
      co_await produce(std::move(to), l, id, per_producer);
    }(tx, ledger, p));
  std::vector<std::thread> threads;
  for (int p = spawned_producers; p < producers; ++p)
    threads.emplace_back(
        [&ledger, to = tx, p] { EXPECT_EQ(block_on(produce(to, ledger, p, per_producer)), per_producer); });
  tx.release();

  auto consume = [](Receiver<Tagged>& from) -> Task<bool> {
    std::vector<int> next(producers, 0);
    bool in_order = true;
    while (auto message = co_await from.recv()) {
      in_order &= message->sequence == next[static_cast<std::size_t>(message->producer)]++;
      if (message->sequence % 97 == 0) co_await sleep_for(1us);  // let the queue fill up now and then
    }
    for (int received : next) in_order &= received == per_producer;
    co_return in_order;
  };
  EXPECT_TRUE(block_on(consume(rx)));
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ledger.first_miscounted(), -1);
}

TEST(Stress, ReceiverGoneWhileManySendersWait) {
  constexpr int senders = 32;
  constexpr int per_sender = 50;
  Ledger ledger(senders * per_sender);
  std::atomic<int> accepted{0};
  auto [done_tx, done_rx] = channel<Signal>(1);
  {
    auto [tx, rx] = channel<Tagged>(4);
    for (int p = 0; p < senders; ++p) {
      spawn([](Sender<Tagged> to, Ledger& l, int id, std::atomic<int>& total, Sender<Signal>) -> Task<void> {
        total += co_await produce(std::move(to), l, id, per_sender);
      }(tx, ledger, p, accepted, done_tx));
    }
    auto take_some = [](Receiver<Tagged>& from) -> Task<void> {
      for (int i = 0; i < 100; ++i) co_await from.recv();
    };
    block_on(take_some(rx));
  }  // the receiver goes while most producers are blocked
  done_tx.release();
  auto all_ended = [](Receiver<Signal>& from) -> Task<bool> { co_return !(co_await from.recv()); };
  EXPECT_TRUE(block_on(all_ended(done_rx)));
  EXPECT_GE(accepted.load(), 100);
  EXPECT_LT(accepted.load(), senders * per_sender);
  EXPECT_EQ(ledger.first_miscounted(), -1);
}

TEST(Stress, RacingReceivesNeverLoseMessages) {
  constexpr int messages = 20000;
  Ledger ledger(messages);
  auto [tx, rx] = channel<Counted>(16);
  spawn([](Sender<Counted> to, Ledger& l) -> Task<void> {
    for (int i = 0; i < messages; ++i) co_await to.send(Counted(l, i));
  }(std::move(tx), ledger));

  // Every receive races a zero sleep, so many receives are woken and then
  // cancelled; the messages must all still arrive, in order.
  auto impatient = [](Receiver<Counted>& from) -> Task<int> {
    int expected = 0;
    int lost_races = 0;
    for (;;) {
      auto outcome = co_await race(
          [](Receiver<Counted>& r) -> Task<std::optional<Counted>> { co_return co_await r.recv(); }(from),
          []() -> Task<void> { co_await sleep_for(1us); }());  // a real wait: a past deadline would not suspend
      if (outcome.index() == 1) {
        ++lost_races;
        continue;
      }
      auto& message = std::get<0>(outcome);
      if (!message) break;
      if (message->id() != expected) co_return -1;
      ++expected;
    }
    (void)lost_races;
    co_return expected;
  };
  EXPECT_EQ(block_on(impatient(rx)), messages);
  EXPECT_EQ(ledger.first_miscounted(), -1);
}

}  // namespace
}  // namespace tyvo::rt
