#pragma once

#include "bridge/runtime/detail/wait_list.hpp"
#include "bridge/runtime/detail/waiter.hpp"

#include <coroutine>
#include <cstdint>
#include <mutex>

namespace tyvo::rt {

// Wakes every coroutine waiting on it when it rings, from any thread.
//
// The state a waiter cares about lives elsewhere (an atomic flag, say), so a waiter notes
// rings() first, then looks at that state, and only then awaits rung_since(noted): a ring that
// came in between ends the wait at once, so none is ever missed. Waiting allocates nothing (the
// node lives in the awaiting frame), and a wait destroyed while suspended unregisters itself.
class Bell {
 public:
  class [[nodiscard]] Wait;

  Bell() = default;
  Bell(const Bell&) = delete;
  Bell& operator=(const Bell&) = delete;

  std::uint64_t rings() const;
  void ring();
  Wait rung_since(std::uint64_t noted) noexcept;

 private:
  struct Node : detail::WaitLink<Node> {
    detail::Waiter waiter;
  };

  mutable std::mutex mutex_;
  // --- guarded by mutex_ ---
  std::uint64_t rings_ = 0;
  detail::WaitList<Node> waiters_;
};

class [[nodiscard]] Bell::Wait {
 public:
  Wait(Bell& bell, std::uint64_t noted) noexcept : bell_(bell), noted_(noted) {}
  Wait(const Wait&) = delete;
  Wait& operator=(const Wait&) = delete;
  ~Wait();

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> suspended);
  void await_resume() noexcept {}

 private:
  Bell& bell_;
  std::uint64_t noted_;
  Node node_;
};

inline Bell::Wait Bell::rung_since(std::uint64_t noted) noexcept { return Wait(*this, noted); }

}  // namespace tyvo::rt
