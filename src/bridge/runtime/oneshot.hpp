#pragma once

#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/detail/waiter.hpp"
#include "bridge/runtime/fork_generation.hpp"

#include <coroutine>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tyvo::rt {

// One value, one sender, one receiver, across threads.
//
// The sender is plain (send() never waits); the receiver is awaited and
// yields the value, or std::nullopt when the sender was released without
// sending. Releasing the receiver makes the sender see is_closed() and
// send() return false. In a forked child a one-shot made before the fork is
// closed for good and never touched (see fork_generation.hpp).
template <class T>
class OneshotSender;
template <class T>
class OneshotReceiver;

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot();

namespace detail {

template <class T>
class OneshotState {
 public:
  std::mutex mutex;
  const std::uint32_t generation = fork_generation();

  // `value` is written by the sender before it sets `sent` under the lock
  // and read by the receiver only after it saw `sent` under the lock, so
  // the value itself is built and destroyed outside the lock.
  std::optional<T> value;

  // --- guarded by `mutex` ---
  bool sent = false;
  bool taken = false;
  bool sender_gone = false;
  bool receiver_gone = false;
  const Waiter* waiting = nullptr;

  bool settled() const noexcept { return sent || sender_gone; }

  void wake_receiver() {
    if (const Waiter* receiver = std::exchange(waiting, nullptr)) receiver->wake();
  }
};

// The state an end may use: none for one inherited through fork.
template <class T>
const std::shared_ptr<OneshotState<T>>& usable(const std::shared_ptr<OneshotState<T>>& state) noexcept {
  static const std::shared_ptr<OneshotState<T>> none;
  return state && inherited(state->generation) ? none : state;
}

// Lets go of an end's state; an inherited one is abandoned untouched.
template <class T>
void let_go(std::shared_ptr<OneshotState<T>>& state) noexcept {
  if (inherited(state->generation)) abandon(state);
}

}  // namespace detail

template <class T>
class OneshotSender {
 public:
  OneshotSender() noexcept = default;
  OneshotSender(OneshotSender&&) noexcept = default;
  OneshotSender& operator=(OneshotSender&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~OneshotSender() { release(); }

  // Hands `value` over; false (and the value is dropped) if the receiver is
  // gone or a value was already sent.
  bool send(T value) {
    if (!detail::usable(state_)) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->receiver_gone || state_->sent) return false;
    }
    // The receiver reads `value` only once `sent` is set, so nobody else
    // touches it now.
    state_->value.emplace(std::move(value));
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_gone) {
        state_->sent = true;
        state_->wake_receiver();
        return true;
      }
    }
    // The receiver left meanwhile; it never looks at an unsent value.
    state_->value.reset();
    return false;
  }

  bool is_closed() const {
    if (!detail::usable(state_)) return true;
    std::lock_guard lock(state_->mutex);
    return state_->receiver_gone;
  }

  void release() {
    if (!state_) return;
    detail::let_go(state_);
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->sender_gone = true;
      state_->wake_receiver();
    }
    state_.reset();
  }

 private:
  friend std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot<T>();
  explicit OneshotSender(std::shared_ptr<detail::OneshotState<T>> state) noexcept
      : state_(std::move(state)) {}

  std::shared_ptr<detail::OneshotState<T>> state_;
};

template <class T>
class [[nodiscard]] OneshotWait {
 public:
  explicit OneshotWait(std::shared_ptr<detail::OneshotState<T>> state) noexcept : state_(std::move(state)) {}
  OneshotWait(const OneshotWait&) = delete;
  OneshotWait& operator=(const OneshotWait&) = delete;
  ~OneshotWait() {
    if (may_wait_) {
      std::lock_guard lock(state_->mutex);
      if (state_->waiting == &waiter_) state_->waiting = nullptr;
    }
  }

  bool await_ready() const noexcept { return state_ == nullptr; }

  bool await_suspend(std::coroutine_handle<> suspended) {
    std::lock_guard lock(state_->mutex);
    if (state_->settled()) return detail::requeue_if_budget_spent(suspended);
    waiter_.park(suspended);
    may_wait_ = true;
    state_->waiting = &waiter_;
    return true;
  }

  std::optional<T> await_resume() {
    may_wait_ = false;
    if (!state_) return std::nullopt;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->sent || state_->taken) return std::nullopt;
      state_->taken = true;
    }
    std::optional<T> result(std::move(state_->value));
    state_->value.reset();
    return result;
  }

 private:
  std::shared_ptr<detail::OneshotState<T>> state_;
  detail::Waiter waiter_;
  bool may_wait_ = false;  // touched only by the awaiting coroutine's own steps
};

template <class T>
class OneshotReceiver {
 public:
  OneshotReceiver() noexcept = default;
  OneshotReceiver(OneshotReceiver&&) noexcept = default;
  OneshotReceiver& operator=(OneshotReceiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~OneshotReceiver() { release(); }

  // `co_await rx`: the value, or std::nullopt if the sender was released
  // without sending (or the value was already taken).
  OneshotWait<T> operator co_await() const noexcept { return OneshotWait<T>(detail::usable(state_)); }

  void release() {
    if (!state_) return;
    detail::let_go(state_);
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_gone = true;
    }
    // A value that was sent but never taken dies with the state, after
    // both ends are gone and outside any lock.
    state_.reset();
  }

 private:
  friend std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot<T>();
  explicit OneshotReceiver(std::shared_ptr<detail::OneshotState<T>> state) noexcept
      : state_(std::move(state)) {}

  std::shared_ptr<detail::OneshotState<T>> state_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot() {
  auto state = std::make_shared<detail::OneshotState<T>>();
  return {OneshotSender<T>(state), OneshotReceiver<T>(state)};
}

}  // namespace tyvo::rt
