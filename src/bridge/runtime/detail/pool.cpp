#include "bridge/runtime/detail/pool.hpp"

#include "bridge/runtime/detail/fork_safe_singleton.hpp"

#include <algorithm>
#include <system_error>
#include <thread>

namespace tyvo::rt::detail {
namespace {

class DetachedContext final : public Context {
 public:
  DetachedContext() noexcept : Context(nullptr) {}
  void schedule(std::coroutine_handle<> handle) override { Pool::instance().post(handle, this); }
};

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
  const std::size_t wanted = std::max(1u, std::thread::hardware_concurrency());
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

void Pool::post(std::coroutine_handle<> handle, Context* context) {
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

void Pool::work() {
  mark_runtime_thread();
  std::unique_lock lock(mutex_);
  for (;;) {
    while (queue_.empty()) {
      ++idle_threads_;
      job_posted_.wait(lock);
      --idle_threads_;
      if (wakeups_pending_ > 0) --wakeups_pending_;  // ours, or one a spurious wake-up beat us to
    }
    const Job job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    {
      ContextScope scope(job.context);
      job.handle.resume();
    }
    lock.lock();
  }
}

}  // namespace tyvo::rt::detail
