#pragma once

#include <atomic>
#include <cassert>
#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

#include "bridge/runtime/forced_unwind.hpp"

namespace tyvo::rt {

// What a Task<T> yields, with void spelled as an empty value so it can sit in
// a variant.
template <class T>
using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T = void>
class Task;

namespace detail {

struct TaskAccess;

class TaskPromiseBase {
 public:
  std::suspend_always initial_suspend() noexcept { return {}; }

  // The awaiting parent starts the task with a plain resume() and then
  // checks in here; the task checks in when it finishes. Whoever arrives
  // second continues the parent. A task that finishes before its first
  // suspension thus returns to the parent's await_suspend, which carries on
  // without suspending: a loop over such tasks runs in constant stack even
  // where symmetric transfer is not compiled as a tail call.
  bool parent_checks_in() noexcept { return arrived_.exchange(true, std::memory_order_acq_rel); }

  struct ToContinuation {
    bool await_ready() noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      TaskPromiseBase& promise = self.promise();
      if (!promise.arrived_.exchange(true, std::memory_order_acq_rel)) return std::noop_coroutine();
      return promise.continuation_;
    }
    void await_resume() noexcept {}
  };

  ToContinuation final_suspend() noexcept { return {}; }

  void set_continuation(std::coroutine_handle<> continuation) noexcept { continuation_ = continuation; }

 private:
  // A task started without an awaiting parent (a race branch, say) returns
  // to whoever resumed it.
  std::coroutine_handle<> continuation_ = std::noop_coroutine();
  std::atomic<bool> arrived_{false};
};

template <class T>
class TaskPromise final : public TaskPromiseBase {
 public:
  Task<T> get_return_object() noexcept;

  template <class U = T>
  requires std::is_convertible_v<U&&, T>
  void return_value(U&& value) { result_.template emplace<1>(std::forward<U>(value)); }

  // A forced unwind goes on through the task and out to whoever resumed it.
  void unhandled_exception() {
    rethrow_if_forced_unwind();
    result_.template emplace<2>(std::current_exception());
  }

  T take_result() {
    if (result_.index() == 2) std::rethrow_exception(std::get<2>(result_));
    assert(result_.index() == 1 && "task has not finished");
    return std::move(std::get<1>(result_));
  }

 private:
  std::variant<std::monostate, T, std::exception_ptr> result_;
};

template <>
class TaskPromise<void> final : public TaskPromiseBase {
 public:
  Task<void> get_return_object() noexcept;

  void return_void() noexcept { finished_ = true; }

  void unhandled_exception() {
    rethrow_if_forced_unwind();
    error_ = std::current_exception();
  }

  void take_result() {
    if (error_) std::rethrow_exception(error_);
    assert(finished_ && "task has not finished");
  }

 private:
  std::exception_ptr error_;
  bool finished_ = false;
};

}  // namespace detail

// A lazily started coroutine: nothing runs until it is awaited (or spawned,
// or raced). `co_await task` runs it to completion and yields its value or
// rethrows its exception.
//
// Destroying a Task destroys its frame wherever it is suspended; that is how
// a race cancels its loser, so every awaiter unregisters itself in its
// destructor. Only the owner of a suspended task may destroy it, and only
// from a thread that is not resuming it.
template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;

  Task() noexcept = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  ~Task() { reset(); }

  explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

  auto operator co_await() & noexcept { return Awaiter{handle_}; }
  auto operator co_await() && noexcept { return Awaiter{handle_}; }

 private:
  friend promise_type;
  friend detail::TaskAccess;
  using Handle = std::coroutine_handle<promise_type>;

  explicit Task(Handle handle) noexcept : handle_(handle) {}

  void reset() noexcept {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

  struct Awaiter {
    Handle handle;

    bool await_ready() const noexcept { return false; }
    // Not noexcept: a forced unwind of the task's thread passes through here.
    bool await_suspend(std::coroutine_handle<> awaiting) {
      assert(handle && !handle.done() && "awaiting an empty or finished task");
      handle.promise().set_continuation(awaiting);
      handle.resume();
      // True when the task has already finished: go on without suspending.
      return !handle.promise().parent_checks_in();
    }
    T await_resume() { return handle.promise().take_result(); }
  };

  Handle handle_;
};

namespace detail {

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>{std::coroutine_handle<TaskPromise>::from_promise(*this)};
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>{std::coroutine_handle<TaskPromise>::from_promise(*this)};
}

// For the runtime's own drivers (race, spawn), which start and inspect tasks
// without awaiting them.
struct TaskAccess {
  template <class T>
  static std::coroutine_handle<TaskPromise<T>> handle(const Task<T>& task) noexcept {
    return task.handle_;
  }

  template <class T>
  static Value<T> take_result(Task<T>& task) {
    if constexpr (std::is_void_v<T>) {
      task.handle_.promise().take_result();
      return {};
    } else {
      return task.handle_.promise().take_result();
    }
  }
};

}  // namespace detail

}  // namespace tyvo::rt
