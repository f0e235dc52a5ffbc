// Runtime figures: spawn cost, channel round trip, timer lateness under load,
// and the memory and CPU cost of many sleeping tasks.
//
//   native_runtime [sleepers=100000] [timers=10000]
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/detail/deadline.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using namespace tyvo::rt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[index];
}

// ---- spawn ----

Task<void> count_down(std::atomic<int>& left, Sender<Signal> done) {
  if (left.fetch_sub(1) == 1) {
    Signal last;
    co_await done.send(last);
  }
}

void bench_spawn_throughput(int tasks) {
  std::atomic<int> left{tasks};
  auto [tx, rx] = channel<Signal>(1);
  const auto start = Clock::now();
  for (int i = 0; i < tasks; ++i) spawn(count_down(left, tx));
  block_on([](Receiver<Signal>& r) -> Task<void> { co_await r.recv(); }(rx));
  const auto elapsed = Clock::now() - start;
  std::printf("spawn + run, %d empty tasks: %.2f us per task\n", tasks, micros(elapsed) / tasks);
}

Task<void> stamp(Clock::time_point& started) {
  started = Clock::now();
  co_return;
}

void bench_spawn_latency(int rounds) {
  // From spawn() on a plain thread to the task's first line, one at a time.
  std::vector<double> latencies;
  for (int i = 0; i < rounds; ++i) {
    Clock::time_point started;
    const auto before = Clock::now();
    block_on(stamp(started));
    latencies.push_back(micros(started - before));
  }
  std::printf("spawn to first line (from a plain thread): p50 %.1f us, p99 %.1f us\n",
              percentile(latencies, 0.5), percentile(latencies, 0.99));
}

// ---- channel round trip ----

Task<void> echo(Receiver<int> in, Sender<int> out) {
  while (auto value = co_await in.recv()) {
    int reply = *value;
    co_await out.send(std::move(reply));
  }
}

Task<double> ping(Sender<int> out, Receiver<int> in, int rounds) {
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    int request = i;
    co_await out.send(std::move(request));
    co_await in.recv();
  }
  co_return micros(Clock::now() - start) / rounds;
}

void bench_round_trip(int rounds) {
  auto [to_echo, echo_in] = channel<int>(1);
  auto [to_ping, ping_in] = channel<int>(1);
  spawn(echo(std::move(echo_in), std::move(to_ping)));
  const double per_trip = block_on(ping(std::move(to_echo), std::move(ping_in), rounds));
  std::printf("channel send/receive round trip between two tasks: %.2f us\n", per_trip);
}

// ---- timer lateness ----

struct Lateness {
  std::vector<double> from_deadline;  // microseconds after the requested deadline
  std::vector<double> from_tick;      // microseconds after the millisecond the deadline rounds up to
};

Task<void> sleep_repeatedly(unsigned seed, int times, bool aligned, Lateness& out, std::size_t slot,
                            Sender<Signal> /*done: released when this task ends*/) {
  std::mt19937 random(seed);
  for (int i = 0; i < times; ++i) {
    const auto delay = std::chrono::microseconds(100'000 + random() % 900'000);
    auto deadline = Clock::now() + delay;
    if (aligned) deadline = std::chrono::ceil<std::chrono::milliseconds>(deadline);
    co_await sleep_until(deadline);
    const auto woke = Clock::now();
    const auto tick = tyvo::rt::detail::tick_start(tyvo::rt::detail::tick_not_before(deadline, woke));
    out.from_deadline[slot + i] = micros(woke - deadline);
    out.from_tick[slot + i] = micros(woke - tick);
  }
}

void bench_lateness(int timers, bool aligned) {
  constexpr int rounds = 5;
  Lateness lateness{std::vector<double>(timers * rounds), std::vector<double>(timers * rounds)};
  auto [tx, rx] = channel<Signal>(1);
  for (int i = 0; i < timers; ++i)
    spawn(sleep_repeatedly(1000 + i, rounds, aligned, lateness, static_cast<std::size_t>(i) * rounds, tx));
  tx.release();
  block_on([](Receiver<Signal>& r) -> Task<void> { co_await r.recv(); }(rx));
  std::printf("timer lateness, %d pending timers, %s deadlines (%d wakes):\n", timers,
              aligned ? "whole-millisecond" : "arbitrary", timers * rounds);
  std::printf("  after the requested deadline: p50 %.0f us, p99 %.0f us, max %.0f us\n",
              percentile(lateness.from_deadline, 0.5), percentile(lateness.from_deadline, 0.99),
              percentile(lateness.from_deadline, 1.0));
  std::printf("  after the rounded-up tick:    p50 %.0f us, p99 %.0f us, max %.0f us, min %.0f us\n",
              percentile(lateness.from_tick, 0.5), percentile(lateness.from_tick, 0.99),
              percentile(lateness.from_tick, 1.0), percentile(lateness.from_tick, 0.0));
}

// ---- many sleepers ----

Task<void> sleep_once(Clock::time_point until, Sender<Signal> /*done: released when this task ends*/) {
  co_await sleep_until(until);
}

void bench_sleepers(int sleepers) {
  const long rss_before = resident_bytes();
  auto [tx, rx] = channel<Signal>(1);
  const auto wake_at = Clock::now() + 6s;
  for (int i = 0; i < sleepers; ++i) spawn(sleep_once(wake_at, tx));
  tx.release();
  // Let every task reach its sleep.
  while (tyvo::rt::detail::pending_timers() < static_cast<std::size_t>(sleepers))
    std::this_thread::sleep_for(10ms);
  const long rss_sleeping = resident_bytes();
  const double cpu_before = cpu_seconds();
  std::this_thread::sleep_for(2s);
  const double cpu_used = cpu_seconds() - cpu_before;
  std::printf("%d sleeping tasks: RSS growth %.0f bytes per task; CPU over 2 s of sleep: %.1f ms\n", sleepers,
              static_cast<double>(rss_sleeping - rss_before) / sleepers, cpu_used * 1000);
  block_on([](Receiver<Signal>& r) -> Task<void> { co_await r.recv(); }(rx));
}

}  // namespace

int main(int argc, char** argv) {
  const int sleepers = argc > 1 ? std::atoi(argv[1]) : 100'000;
  const int timers = argc > 2 ? std::atoi(argv[2]) : 10'000;

  // Start the pool and the timer thread before any measurement.
  block_on([]() -> Task<void> { co_await sleep_for(1ms); }());

  bench_sleepers(sleepers);
  bench_spawn_throughput(200'000);
  bench_spawn_latency(20'000);
  bench_round_trip(200'000);
  bench_lateness(timers, true);
  bench_lateness(timers, false);
  return 0;
}
