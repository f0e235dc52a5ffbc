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
  bool someone_idle;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Job{handle, context});
    someone_idle = idle_threads_ > 0;
  }
  if (someone_idle) job_posted_.notify_one();
}

void Pool::work() {
  mark_runtime_thread();
  std::unique_lock lock(mutex_);
  for (;;) {
    while (queue_.empty()) {
      ++idle_threads_;
      job_posted_.wait(lock);
      --idle_threads_;
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
