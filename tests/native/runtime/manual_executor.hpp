#pragma once

#include "bridge/runtime/detail/context.hpp"
#include "bridge/runtime/task.hpp"

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <deque>
#include <mutex>

namespace tyvo::rt::testing {

// A context whose wakes wait in a queue until the test thread runs them, so
// a test decides exactly what is ready when a coroutine resumes.
class ManualExecutor final : public detail::Context {
 public:
  ManualExecutor() : Context(nullptr) {}

  void schedule(std::coroutine_handle<> handle) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(handle);
    posted_.notify_all();
  }

  // Runs `task` on this thread in this context until it first suspends.
  template <class T>
  void start(Task<T>& task) {
    detail::ContextScope scope(this);
    detail::TaskAccess::handle(task).resume();
  }

  // Resumes every queued coroutine, including ones queued meanwhile.
  // Returns how many ran.
  int run_ready() {
    int ran = 0;
    while (auto handle = pop()) {
      detail::ContextScope scope(this);
      handle.resume();
      ++ran;
    }
    return ran;
  }

  // Waits until something is queued (a wake from another thread).
  bool wait_for_work(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
  }

  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

 private:
  std::coroutine_handle<> pop() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return {};
    auto handle = queue_.front();
    queue_.pop_front();
    return handle;
  }

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::coroutine_handle<>> queue_;
};

template <class T>
bool finished(const Task<T>& task) {
  return detail::TaskAccess::handle(task).done();
}

}  // namespace tyvo::rt::testing
