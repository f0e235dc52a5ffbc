#include "bridge/runtime/detail/timer_queue.hpp"

#include "bridge/runtime/detail/fork_safe_singleton.hpp"
#include "bridge/runtime/detail/pool.hpp"
#include "bridge/runtime/detail/spin_pause.hpp"

#include <algorithm>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace tyvo::rt::detail {
namespace {

using std::chrono::nanoseconds;

// The wall clock can also move without the kernel reporting a step: NTP slews it by up to
// 0.5 ms a second, and a library that fakes the time of day (for tests) moves it at will. A
// calendar deadline is therefore converted to the steady clock afresh at least this often.
constexpr nanoseconds wall_recheck = std::chrono::seconds(1);

// When `entry` is due, judged by the clocks now, and whether that is its deadline (rather than a
// look at the wall clock meanwhile). `wall_now` must be read before `now`: the other way round
// the instant comes the time between the two reads too early for a wall deadline, and that costs
// a second wake-up (late, on a busy machine) to cover those nanoseconds.
DueAt due_at(const TimerEntry& entry, Clock::time_point now, WallTime wall_now) {
  if (!entry.on_wall_clock) return {Clock::time_point(nanoseconds(entry.deadline)), true};
  const nanoseconds left = WallTime(nanoseconds(entry.deadline)) - wall_now;
  return {deadline_after(now, std::min(left, wall_recheck)), left <= wall_recheck};
}

}  // namespace

TimerQueue& TimerQueue::instance() {
  static ForkSafeSingleton<TimerQueue> queue([] {
    // Leaked on purpose: the detached thread uses it until the process ends.
    auto* created = new TimerQueue();
    std::thread(&TimerQueue::run, created).detach();
    return created;
  });
  return queue.get();
}

void TimerQueue::add(TimerEntry& entry) {
  std::lock_guard lock(mutex_);
  entry.sequence = next_sequence_++;
  TimerHeap& heap = heap_of(entry);
  heap.push(&entry);
  if (heap.top() != &entry) return;
  // Set from here, the alarm needs no wake-up of the timer thread to move earlier.
  const WallTime wall = wall_now();
  const Clock::time_point now = Clock::now();
  const Clock::time_point at = alarm_for(due_at(entry, now, wall), now);
  if (alarm_at_ && *alarm_at_ <= at) return;
  alarm_.set(at);
  alarm_at_ = at;
  alarm_moved_.store(true, std::memory_order_relaxed);  // a spinning timer thread looks again
}

void TimerQueue::cancel(TimerEntry& entry) {
  // An alarm left set for it only costs the timer thread one early wake-up.
  std::lock_guard lock(mutex_);
  if (entry.queued()) heap_of(entry).remove(&entry);
}

std::size_t TimerQueue::pending() {
  std::lock_guard lock(mutex_);
  return steady_.size() + wall_.size();
}

void TimerQueue::run() {
  mark_runtime_thread();
#ifdef __linux__
  // The kernel may otherwise defer this thread's waits by its default 50 us slack, which would
  // come straight out of every sleeper's lateness.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::unique_lock lock(mutex_, std::defer_lock);
  for (;;) {
    alarm_.wait();
    // Waits can end early (a wall-clock step, an alarm set for an entry since cancelled, an alarm
    // set early to spin from): only the clocks say what is due.
    lock.lock();
    for (;;) {
      const Clock::time_point woke = Clock::now();
      if (wake_due() > 0) pacing_.woke(woke);
      const std::optional<DueAt> next = earliest_due();
      if (!next || !next->exact || !pacing_.spins_to(next->at, Clock::now())) break;
      // Spun without the lock, so that sleepers come and go meanwhile. The alarm has gone off, so
      // one due sooner sets it again, and that ends the spin.
      alarm_at_.reset();
      alarm_moved_.store(false, std::memory_order_relaxed);
      lock.unlock();
      const Clock::time_point from = Clock::now();
      Clock::time_point now = from;
      while (now < next->at && !alarm_moved_.load(std::memory_order_relaxed)) {
        spin_pause();
        now = Clock::now();
      }
      lock.lock();
      pacing_.spun(from, now);
    }
    set_alarm();
    lock.unlock();
  }
}

std::size_t TimerQueue::wake_due() {
  // Waking only queues the coroutine (see Context::schedule), so it is done under the lock that
  // cancel() takes: a cancelled sleeper is either still in a heap or already fully woken. Every
  // sleeper due now goes to the workers in one batch.
  Pool::Gathering together;
  std::size_t woken = 0;
  const auto now = Clock::now().time_since_epoch().count();
  for (; !steady_.empty() && steady_.top()->deadline <= now; ++woken) steady_.pop()->waiter.wake();
  const auto wall = wall_now().time_since_epoch().count();
  for (; !wall_.empty() && wall_.top()->deadline <= wall; ++woken) wall_.pop()->waiter.wake();
  return woken;
}

std::optional<DueAt> TimerQueue::earliest_due() const {
  const WallTime wall = wall_now();
  const Clock::time_point now = Clock::now();
  std::optional<DueAt> next;
  if (!steady_.empty()) next = due_at(*steady_.top(), now, wall);
  if (!wall_.empty()) {
    const DueAt wall_due = due_at(*wall_.top(), now, wall);
    if (!next || wall_due.at < next->at) next = wall_due;
  }
  return next;
}

Clock::time_point TimerQueue::alarm_for(DueAt due, Clock::time_point now) const {
  return due.exact ? pacing_.alarm_for(due.at, now) : due.at;
}

void TimerQueue::set_alarm() {
  const std::optional<DueAt> next = earliest_due();
  std::optional<Clock::time_point> at;
  if (next) at = alarm_for(*next, Clock::now());
  // Set every time: the alarm that woke this thread has gone off, even if `at` is the same.
  alarm_.set(at);
  alarm_at_ = at;
}

}  // namespace tyvo::rt::detail
