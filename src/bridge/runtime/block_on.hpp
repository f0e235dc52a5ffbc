#pragma once

#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/task.hpp"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace tyvo::rt {

namespace detail {

// Where block_on's task leaves its outcome for the blocked thread.
template <class T>
class BlockedOutcome {
 public:
  void set_value(Value<T> value) {
    finish([&] { value_.emplace(std::move(value)); });
  }
  void set_error(std::exception_ptr error) {
    finish([&] { error_ = std::move(error); });
  }

  T wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<T>) return std::move(*value_);
  }

 private:
  template <class Store>
  void finish(Store store) {
    // Notified under the lock: the waiting thread may destroy this object
    // as soon as it sees done_.
    std::lock_guard lock(mutex_);
    store();
    done_ = true;
    finished_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::optional<Value<T>> value_;
  std::exception_ptr error_;
};

template <class T>
Task<void> run_into(Task<T> task, BlockedOutcome<T>& outcome) {
  // The task's frame (with everything it holds) is gone before the blocked
  // thread wakes up.
  try {
    if constexpr (std::is_void_v<T>) {
      co_await task;
      task = Task<T>();
      outcome.set_value({});
    } else {
      Value<T> value = co_await task;
      task = Task<T>();
      outcome.set_value(std::move(value));
    }
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    task = Task<T>();
    outcome.set_error(std::current_exception());
  }
}

}  // namespace detail

// Runs `task` on the pool and blocks the calling thread until it finishes;
// returns its value or rethrows its exception. For threads outside the
// runtime only: on a worker it could wait for itself, so it throws
// std::logic_error there.
template <class T>
T block_on(Task<T> task, std::shared_ptr<void> task_local = nullptr) {
  if (on_runtime_thread()) throw std::logic_error("block_on called on a runtime thread");
  detail::BlockedOutcome<T> outcome;
  spawn(detail::run_into(std::move(task), outcome), std::move(task_local));
  return outcome.wait();
}

}  // namespace tyvo::rt
