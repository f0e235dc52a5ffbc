#pragma once

#include "bridge/runtime/detail/context.hpp"

#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace tyvo::rt::detail {

// The worker threads: one per core, fed from one FIFO queue of coroutine
// handles, each resumed with its context made current. Created on first use
// and deliberately never destroyed: the threads are detached and keep using
// the queue until the process ends, so no exit-time destructor may pull it
// away from under them.
class Pool {
 public:
  static Pool& instance();

  // Thread-safe; only queues. Safe to call with a primitive's lock held.
  void post(std::coroutine_handle<> handle, Context* context);

  // The same, except that from one of the pool's workers it wakes nobody: that worker comes to
  // the job once done with the ones queued before it.
  void post_behind(std::coroutine_handle<> handle, Context* context);

  // The context of coroutines that run outside any spawned task.
  Context& detached_context() noexcept;

  std::size_t thread_count() const noexcept { return thread_count_; }

  struct Job {
    std::coroutine_handle<> handle;
    Context* context;
  };

  // While one lives, posts made on this thread are gathered and queued together when it ends:
  // one lock and as many wake-ups as there are idle workers for a whole burst (a loop turn's
  // run ends, the sleepers due together), not a lock, and often a futex wake, per post.
  class Gathering {
   public:
    Gathering() noexcept;
    ~Gathering();
    Gathering(const Gathering&) = delete;
    Gathering& operator=(const Gathering&) = delete;

   private:
    std::vector<Job> jobs_;
    std::vector<Job>* outer_;
  };

 private:
  void post_all(std::vector<Job>& jobs);

  Pool() = default;
  void start_threads();
  void work();

  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::deque<Job> queue_;
  std::size_t idle_threads_ = 0;
  std::size_t wakeups_pending_ = 0;  // notified idle workers that have not woken yet
  std::size_t thread_count_ = 0;
};

// Marks the calling thread as one of the runtime's own (pool or timer).
void mark_runtime_thread() noexcept;
bool is_runtime_thread() noexcept;

}  // namespace tyvo::rt::detail
