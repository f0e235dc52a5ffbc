#pragma once

#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/detail/first_wake.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/task.hpp"
#include "bridge/runtime/timer.hpp"

#include <chrono>
#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>

namespace tyvo::rt {

// `co_await unless_signalled(signal, awaitable)`: waits for the awaitable or for a message on
// (or the end of) `signal`, whichever comes first, in the awaiting coroutine's own frame: no
// task, no frame and no thread hop of its own, unlike a race. Yields the awaitable's value, or
// std::nullopt when the signal came first (its message is then taken). A signal already
// waiting wins without the awaitable being waited on at all. When the awaitable wins, a signal
// that arrives meanwhile stays in the channel for the next wait.
template <class Awaiter>
class [[nodiscard]] UnlessSignalled {
 public:
  using Result = Value<decltype(std::declval<Awaiter&>().await_resume())>;

  template <class Make>
  UnlessSignalled(Receiver<Signal>& signal, Make&& make_awaiter)
      : signal_(signal.recv()), awaited_(std::forward<Make>(make_awaiter)()) {}
  UnlessSignalled(const UnlessSignalled&) = delete;
  UnlessSignalled& operator=(const UnlessSignalled&) = delete;

  bool await_ready() const noexcept { return false; }

  bool await_suspend(std::coroutine_handle<> suspended) {
    wake_.begin(suspended);
    {
      detail::ContextScope scope(&wake_.side(0));
      if (!signal_.await_suspend(suspended)) wake_.woken(0);
    }
    if (!wake_.decided()) {
      detail::ContextScope scope(&wake_.side(1));
      if (!suspend_awaited(suspended)) wake_.woken(1);
    }
    if (wake_.stay_suspended()) return true;
    // Decided while registering: go on at once, unless the budget of ready steps is spent.
    return detail::requeue_if_budget_spent(suspended);
  }

  // The loser is left registered; its destructor, which runs right after, unregisters it.
  std::optional<Result> await_resume() {
    if (wake_.winner() == 0) {
      (void)signal_.await_resume();
      return std::nullopt;
    }
    if constexpr (std::is_void_v<decltype(awaited_.await_resume())>) {
      awaited_.await_resume();
      return Result{};
    } else {
      return awaited_.await_resume();
    }
  }

 private:
  bool suspend_awaited(std::coroutine_handle<> suspended) {
    if (awaited_.await_ready()) return false;
    using Suspended = decltype(awaited_.await_suspend(suspended));
    if constexpr (std::is_void_v<Suspended>) {
      awaited_.await_suspend(suspended);
      return true;
    } else {
      static_assert(std::is_same_v<Suspended, bool>, "awaiters that transfer are not supported");
      return awaited_.await_suspend(suspended);
    }
  }

  // Declared first, destroyed last: a loser's late wake, which reaches it under the loser's
  // lock, is over once the loser's destructor has unregistered it.
  detail::FirstWake wake_;
  RecvOperation<Signal> signal_;
  Awaiter awaited_;
};

// Sleeps for `delay` (see sleep_for) unless signalled; true when the whole delay passed.
inline UnlessSignalled<Sleep> sleep_unless_signalled(Receiver<Signal>& signal, std::chrono::nanoseconds delay) {
  return UnlessSignalled<Sleep>(signal, [delay] { return sleep_for(delay); });
}

// Sleeps until `deadline` (see sleep_until) unless signalled; true when it came.
inline UnlessSignalled<Sleep> sleep_until_unless_signalled(Receiver<Signal>& signal,
                                                           std::chrono::steady_clock::time_point deadline) {
  return UnlessSignalled<Sleep>(signal, [deadline] { return sleep_until(deadline); });
}

// Sleeps until the wall clock reads `deadline` (see sleep_until_wall) unless signalled; true when
// it came.
inline UnlessSignalled<Sleep> sleep_until_wall_unless_signalled(Receiver<Signal>& signal,
                                                                detail::WallTime deadline) {
  return UnlessSignalled<Sleep>(signal, [deadline] { return sleep_until_wall(deadline); });
}

// Waits for the one value of `receiver` unless signalled. The receiver must outlive the wait.
template <class T>
UnlessSignalled<OneshotWait<T>> receive_unless_signalled(Receiver<Signal>& signal,
                                                         const OneshotReceiver<T>& receiver) {
  return UnlessSignalled<OneshotWait<T>>(signal, [&receiver] { return receiver.operator co_await(); });
}

}  // namespace tyvo::rt
