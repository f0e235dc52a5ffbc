#pragma once

#include "bridge/runtime/detail/context.hpp"
#include "bridge/runtime/detail/race_core.hpp"
#include "bridge/runtime/task.hpp"

#include <stdexcept>
#include <utility>
#include <variant>

namespace tyvo::rt {

// race(first, second) -> Task<std::variant<Value<A>, Value<B>>>
//
// Runs both tasks; the first to finish wins, the other is destroyed at its
// suspension point, and the race then yields the winner's value (index 0 for
// `first`) or rethrows its exception. Biased: the first branch is started
// first and, at every wake-up, looked at first, so when both become ready
// together the first wins. A losing branch never consumes a channel message.
template <class A, class B>
Task<std::variant<Value<A>, Value<B>>> race(Task<A> first, Task<B> second) {
  using Outcome = std::variant<Value<A>, Value<B>>;
  using detail::TaskAccess;
  if (!first || !second) throw std::invalid_argument("race needs two tasks");

  detail::RaceCore core(detail::wake_target());
  // Declared after `core` so that they are destroyed before it, should the
  // race itself be cancelled.
  Task<A> a = std::move(first);
  Task<B> b = std::move(second);

  const int winner = co_await core.drive(TaskAccess::handle(a), TaskAccess::handle(b));
  if (winner == 0) {
    b = Task<B>();
    co_return Outcome(std::in_place_index<0>, TaskAccess::take_result(a));
  }
  a = Task<A>();
  co_return Outcome(std::in_place_index<1>, TaskAccess::take_result(b));
}

}  // namespace tyvo::rt
