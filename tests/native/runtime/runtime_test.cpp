#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/timer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace tyvo::rt {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<void> local_value(int value) { return std::make_shared<int>(value); }

int local_int() {
  const auto local = current_task_local();
  return local ? *static_cast<int*>(local.get()) : -1;
}

Task<int> read_local_after_sleep() {
  co_await sleep_for(1ms);
  co_return local_int();
}

Task<void> record_locals(int id, Sender<std::pair<int, int>> out) {
  // Sampled around suspensions, which may resume on another worker.
  for (int i = 0; i < 3; ++i) {
    co_await out.send({id, local_int()});
    co_await sleep_for(1ms);
    co_await out.send({id, co_await read_local_after_sleep()});
  }
}

TEST(Runtime, TaskLocalFollowsEachTaskAcrossThreads) {
  auto [tx, rx] = channel<std::pair<int, int>>(8);
  constexpr int tasks = 16;
  for (int id = 0; id < tasks; ++id) spawn(record_locals(id, tx), local_value(id * 10));
  tx.release();

  auto collect = [](Receiver<std::pair<int, int>>& from) -> Task<int> {
    int seen = 0;
    while (auto sample = co_await from.recv()) {
      EXPECT_EQ(sample->second, sample->first * 10) << "task " << sample->first;
      ++seen;
    }
    co_return seen;
  };
  EXPECT_EQ(block_on(collect(rx)), tasks * 6);
}

TEST(Runtime, TaskLocalReachesRaceBranchesAndIsNullElsewhere) {
  EXPECT_EQ(current_task_local(), nullptr);
  auto both = []() -> Task<int> {
    auto outcome = co_await race(read_local_after_sleep(), []() -> Task<int> {
      co_await sleep_for(1h);
      co_return -2;
    }());
    co_return std::get<0>(outcome);
  };
  EXPECT_EQ(block_on(both(), local_value(7)), 7);
  EXPECT_EQ(block_on(read_local_after_sleep()), -1);
}

TEST(Runtime, RuntimeThreadsAreRecognised) {
  EXPECT_FALSE(on_runtime_thread());
  auto probe = []() -> Task<bool> {
    co_await sleep_for(0ms);
    co_return on_runtime_thread();
  };
  EXPECT_TRUE(block_on(probe()));
}

TEST(Runtime, BlockOnRefusesToBlockAWorker) {
  auto nested = []() -> Task<std::string> {
    try {
      block_on(read_local_after_sleep());
    } catch (const std::logic_error& error) {
      co_return error.what();
    }
    co_return "";
  };
  EXPECT_EQ(block_on(nested()), "block_on called on a runtime thread");
}

// `done` is a parameter so it lives until the task's frame is destroyed,
// which happens after the failure was reported.
Task<void> fail_then_release(Sender<Signal> /*done*/, bool standard) {
  co_await sleep_for(1ms);
  if (standard) throw std::runtime_error("boom");
  throw 42;
}

TEST(Runtime, TasksSpawnedBehindRunFromWorkersAndFromOtherThreads) {
  // From a worker, spawn_behind wakes no other worker: the task must still run once that worker
  // is free, even with every worker asleep, and even when the queue was empty when it came.
  auto [tx, rx] = channel<int>(64);
  for (int i = 0; i < 20; ++i) {
    spawn([](int id, Sender<int> out) -> Task<void> {
      co_await sleep_for(std::chrono::milliseconds(id % 3));
      spawn_behind([](int id, Sender<int> out) -> Task<void> { co_await out.send(id); }(id, std::move(out)));
    }(i, tx));
  }
  spawn_behind([](Sender<int> out) -> Task<void> { co_await out.send(20); }(tx));  // not a worker here
  tx.release();
  auto count = [](Receiver<int>& from) -> Task<int> {
    int seen = 0;
    while (co_await from.recv()) ++seen;
    co_return seen;
  };
  EXPECT_EQ(block_on(count(rx)), 21);
}

TEST(Runtime, AnExceptionEndsOnlyItsOwnTask) {
  ::testing::internal::CaptureStderr();
  for (bool standard : {true, false}) {
    auto [tx, rx] = channel<Signal>(1);
    spawn(fail_then_release(std::move(tx), standard));
    auto wait_for_end = [](Receiver<Signal>& from) -> Task<bool> { co_return !(co_await from.recv()); };
    EXPECT_TRUE(block_on(wait_for_end(rx)));
  }
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "tyvo: task failed: boom\ntyvo: task failed: unknown error\n");

  // The pool goes on working.
  EXPECT_EQ(block_on(read_local_after_sleep(), local_value(3)), 3);
}

}  // namespace
}  // namespace tyvo::rt

#include <sys/wait.h>
#include <unistd.h>

namespace tyvo::rt {
namespace {

Task<int> sleep_then_answer() {
  co_await sleep_for(std::chrono::milliseconds(1));
  co_return 42;
}

TEST(Runtime, AForkedChildRunsTasksOnThreadsOfItsOwn) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "the thread sanitizer refuses new threads after a multi-threaded fork";
#endif
  ASSERT_EQ(block_on(sleep_then_answer()), 42);  // the parent's pool and timer thread exist now
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Threads do not survive fork(): without fresh ones this would wait forever.
    const int answer = block_on(sleep_then_answer());
    _exit(answer == 42 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

Task<void> receive_one(Receiver<Signal>& stops) { (void)co_await stops.recv(); }
Task<void> nap() { co_await sleep_for(std::chrono::hours(1)); }

// A task parked on a channel and, through the race, on a timer entry: its wake-up cancels the
// sleep, which removes the entry from the timer queue.
Task<void> park_until_stopped(Receiver<Signal> stops, std::shared_ptr<std::atomic<int>> woken) {
  (void)co_await race(receive_one(stops), nap());
  woken->fetch_add(1);
}

TEST(Runtime, AForkedChildNeverResumesWhatItInherited) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "the thread sanitizer refuses new threads after a multi-threaded fork";
#endif
  auto [stop, stops] = channel<Signal>(1);
  auto woken = std::make_shared<std::atomic<int>>(0);
  spawn(park_until_stopped(std::move(stops), woken));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // parked by now, on a loaded machine too
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int failures = 0;
    Signal request;
    failures += stop.try_send(request) != TrySend::Closed;  // the parent's channel is closed here
    failures += !stop.is_closed();
    // Releasing the last sender would wake the parent's task; resumed here, it would cancel its
    // sleep in this process's timer queue, where the entry never was.
    stop.release();
    failures += block_on(sleep_then_answer()) != 42;  // the child's own runtime works
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    failures += woken->load() != 0;
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  stop.release();  // in the parent the task wakes as ever
  for (int i = 0; i < 10'000 && woken->load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(woken->load(), 1);
}

}  // namespace
}  // namespace tyvo::rt
