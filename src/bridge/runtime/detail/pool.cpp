#include "bridge/runtime/detail/pool.hpp"

#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/detail/fork_safe_singleton.hpp"

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace tyvo::rt::detail {
namespace {

class DetachedContext final : public Context {
 public:
  DetachedContext() noexcept : Context(nullptr) {}
  void schedule(std::coroutine_handle<> handle) override { Pool::instance().post(handle, this); }
};

// The CPUs this process may run on (its affinity mask, as taskset or a container's cpuset sets
// it), not all of the machine's: more workers than usable CPUs would only take turns.
std::size_t usable_cpus() noexcept {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<std::size_t>(CPU_COUNT(&allowed));
  }
  return std::max(1u, std::thread::hardware_concurrency());  // more CPUs than the mask can hold
}

}  // namespace

Pool& Pool::instance() {
  static ForkSafeSingleton<Pool> pool([] {
    auto* created = new Pool();  // leaked on purpose; see the class comment
    created->start_threads();
    return created;
  });
  return pool.get();
}

void Pool::start_threads() {
  const std::size_t wanted = usable_cpus();
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      std::thread(&Pool::work, this).detach();
    } catch (const std::system_error&) {
      // Fewer threads than cores still works; none at all does not.
      if (i == 0) throw;
      break;
    }
    std::lock_guard lock(mutex_);
    ++thread_count_;
  }
}

Context& Pool::detached_context() noexcept {
  static DetachedContext* const context = new DetachedContext();
  return *context;
}

namespace {
thread_local std::vector<Pool::Job>* gathered = nullptr;  // the innermost Gathering's
thread_local bool pool_worker = false;
}  // namespace

Pool::Gathering::Gathering() noexcept : outer_(std::exchange(gathered, &jobs_)) {}

Pool::Gathering::~Gathering() {
  gathered = outer_;
  if (jobs_.empty()) return;
  try {
    Pool::instance().post_all(jobs_);
  } catch (...) {
    // Out of memory growing the queue: post them one by one, as without gathering.
    for (const Job& job : jobs_) Pool::instance().post(job.handle, job.context);
  }
}

void Pool::post_all(std::vector<Job>& jobs) {
  std::size_t wake;
  {
    std::lock_guard lock(mutex_);
    queue_.insert(queue_.end(), jobs.begin(), jobs.end());
    const std::size_t sleeping = idle_threads_ - std::min(idle_threads_, wakeups_pending_);
    // One worker per so many jobs: resuming a sleeper takes a microsecond or so, and a second
    // worker woken for a few dozen costs more (a futex wake here, a context switch there) than it
    // saves, and splits runs due together into two batches for the loop.
    constexpr std::size_t jobs_per_worker = 128;
    const std::size_t wanted = (jobs.size() + jobs_per_worker - 1) / jobs_per_worker;
    wake = std::min(sleeping, wanted);
    wakeups_pending_ += wake;
  }
  for (std::size_t i = 0; i < wake; ++i) job_posted_.notify_one();
}

void Pool::post(std::coroutine_handle<> handle, Context* context) {
  if (gathered != nullptr) {
    try {
      gathered->push_back(Job{handle, context});
      return;
    } catch (...) {
      // Out of memory: queue it now instead.
    }
  }
  bool wake_one;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Job{handle, context});
    // A burst of posts (a thousand timers due at once, a thousand run outcomes) wakes each idle
    // worker once, not once per post: a woken worker drains the queue before it waits again, and
    // every futex wake on the posting thread is time that thread (often the event loop) loses.
    wake_one = idle_threads_ > wakeups_pending_;
    if (wake_one) ++wakeups_pending_;
  }
  if (wake_one) job_posted_.notify_one();
}

void Pool::post_behind(std::coroutine_handle<> handle, Context* context) {
  if (!pool_worker) return post(handle, context);
  std::lock_guard lock(mutex_);
  queue_.push_back(Job{handle, context});
}

void Pool::work() {
  constexpr std::size_t max_taken = 8;
  mark_runtime_thread();
  budget_this_thread();
  pool_worker = true;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (queue_.empty()) {
      ++idle_threads_;
      job_posted_.wait(lock);
      --idle_threads_;
      if (wakeups_pending_ > 0) --wakeups_pending_;  // ours, or one a spurious wake-up beat us to
    }
    // A few at a time, so that workers taking turns at a burst do not meet at the lock for every
    // job; few, so that a job that blocks (one waiting for the interpreter lock) holds up little.
    const std::size_t take = std::min<std::size_t>(
        {queue_.size(), max_taken, std::max<std::size_t>(1, queue_.size() / std::max<std::size_t>(1, thread_count_))});
    Job taken[max_taken];
    for (std::size_t i = 0; i < take; ++i) {
      taken[i] = queue_.front();
      queue_.pop_front();
    }
    lock.unlock();
    for (std::size_t i = 0; i < take; ++i) {
      ContextScope scope(taken[i].context);
      refill_budget();
      taken[i].handle.resume();
    }
    lock.lock();
  }
}

}  // namespace tyvo::rt::detail
