#pragma once

#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/detail/channel_state.hpp"

#include <coroutine>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace tyvo::rt {

// The message of a channel that only signals.
struct Signal {};

// Bounded multi-producer, single-consumer channel.
//
// It closes when the last Sender is released (the receiver still drains what
// is queued, then sees the end) or when the Receiver is released (every send,
// waiting or later, yields false; queued messages are destroyed).
//
// Cancelling (destroying) a suspended send or receive unregisters it. A
// receive takes its message only when it resumes, so a receive cancelled
// after it was woken leaves the message at the front of the queue.
//
// In a forked child a channel made before the fork is closed for good, at
// both ends, and never touched (see fork_generation.hpp).
template <class T>
class Sender;
template <class T>
class Receiver;

template <class T>
std::pair<Sender<T>, Receiver<T>> channel(std::size_t capacity);

namespace detail {
// The state an end may use: none for one inherited through fork.
template <class T>
const std::shared_ptr<ChannelState<T>>& usable(const std::shared_ptr<ChannelState<T>>& state) noexcept {
  static const std::shared_ptr<ChannelState<T>> none;
  return state && inherited(state->generation) ? none : state;
}

// Lets go of an end's state; an inherited one is abandoned untouched.
template <class T>
void let_go(std::shared_ptr<ChannelState<T>>& state) noexcept {
  if (inherited(state->generation)) abandon(state);
}
}  // namespace detail

// `co_await tx.send(value)`: waits while the channel is full; true once the
// message is queued, false if the receiver is gone (the message is dropped).
template <class T>
class [[nodiscard]] SendOperation {
 public:
  SendOperation(std::shared_ptr<detail::ChannelState<T>> state, T message) : state_(std::move(state)) {
    blocked_.message = std::make_unique<detail::MessageNode<T>>(std::move(message));
  }
  SendOperation(const SendOperation&) = delete;
  SendOperation& operator=(const SendOperation&) = delete;
  ~SendOperation() {
    if (may_wait_) {
      std::lock_guard lock(state_->mutex);
      state_->stop_waiting_for_room(&blocked_);
    }
    // An unsent message is destroyed here, outside the lock.
  }

  bool await_ready() const noexcept { return state_ == nullptr; }

  bool await_suspend(std::coroutine_handle<> suspended) {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive()) return false;
    if (state_->has_room()) {
      state_->enqueue(blocked_.message.release());
      blocked_.accepted = true;
      return false;
    }
    blocked_.waiter.park(suspended);
    may_wait_ = true;
    state_->wait_for_room(&blocked_);
    return true;
  }

  bool await_resume() noexcept {
    may_wait_ = false;
    return blocked_.accepted;
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
  detail::BlockedSend<T> blocked_;
  bool may_wait_ = false;  // touched only by the sending coroutine's own steps
};

// `co_await rx.recv()`: the next message, or std::nullopt once every sender
// is gone and the queue is empty.
template <class T>
class [[nodiscard]] RecvOperation {
 public:
  explicit RecvOperation(std::shared_ptr<detail::ChannelState<T>> state) noexcept
      : state_(std::move(state)) {}
  RecvOperation(const RecvOperation&) = delete;
  RecvOperation& operator=(const RecvOperation&) = delete;
  ~RecvOperation() {
    if (may_wait_) {
      std::lock_guard lock(state_->mutex);
      state_->stop_waiting_for_message(&waiter_);
    }
  }

  bool await_ready() const noexcept { return state_ == nullptr; }

  bool await_suspend(std::coroutine_handle<> suspended) {
    std::lock_guard lock(state_->mutex);
    if (state_->has_message() || state_->all_senders_gone()) {
      if (detail::take_ready_step()) {
        received_.reset(state_->take());
        return false;
      }
      // The budget is spent: queued again, with the message left in the channel until the
      // resumption takes it (a receive cancelled meanwhile must not lose it).
      may_wait_ = true;
      detail::wake_target().schedule(suspended);
      return true;
    }
    waiter_.park(suspended);
    may_wait_ = true;
    state_->wait_for_message(&waiter_);
    return true;
  }

  std::optional<T> await_resume() {
    if (std::exchange(may_wait_, false)) {
      std::lock_guard lock(state_->mutex);
      received_.reset(state_->take());
    }
    if (received_ == nullptr) return std::nullopt;
    std::optional<T> message(std::move(received_->value));
    received_.reset();
    return message;
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
  std::unique_ptr<detail::MessageNode<T>> received_;
  detail::Waiter waiter_;
  bool may_wait_ = false;  // touched only by the receiving coroutine's own steps
};

// What try_send did with its message.
enum class TrySend { Sent, Full, Closed };

// A sending end. Copyable: each copy is one more sender.
template <class T>
class Sender {
 public:
  Sender() noexcept = default;
  Sender(const Sender& other) : state_(detail::usable(other.state_)) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      state_->add_sender();
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Beware g++ 12: a braced aggregate built inside the co_await expression
  // (`co_await tx.send(Job{...})`) has its members destroyed twice. Build
  // the message in a named variable and move it in.
  SendOperation<T> send(T message) { return SendOperation<T>(detail::usable(state_), std::move(message)); }

  // Queues `message` at once if there is room, without waiting. When the channel is full or
  // closed the message is given back: `message` holds it again when this returns.
  TrySend try_send(T& message) {
    if (!detail::usable(state_)) return TrySend::Closed;
    auto node = std::make_unique<detail::MessageNode<T>>(std::move(message));
    TrySend outcome = TrySend::Sent;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive())
        outcome = TrySend::Closed;
      else if (!state_->has_room())
        outcome = TrySend::Full;
      else
        state_->enqueue(node.release());
    }
    if (node) message = std::move(node->value);
    return outcome;
  }

  // True once the receiver is gone (or for an empty Sender).
  bool is_closed() const {
    if (!detail::usable(state_)) return true;
    std::lock_guard lock(state_->mutex);
    return !state_->receiver_alive();
  }

  void release() {
    if (!state_) return;
    detail::let_go(state_);
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->remove_sender();
    }
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>(std::size_t);
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) noexcept : state_(std::move(state)) {}

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// The receiving end. Move-only; there is exactly one per channel, and it must
// outlive any receive it has started.
template <class T>
class Receiver {
 public:
  Receiver() noexcept = default;
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { release(); }

  RecvOperation<T> recv() noexcept { return RecvOperation<T>(detail::usable(state_)); }

  // The next message if one is queued now.
  std::optional<T> try_recv() {
    if (!detail::usable(state_)) return std::nullopt;
    std::unique_ptr<detail::MessageNode<T>> node;
    {
      std::lock_guard lock(state_->mutex);
      node.reset(state_->take());
    }
    if (node == nullptr) return std::nullopt;
    return std::optional<T>(std::move(node->value));
  }

  void release() {
    if (!state_) return;
    detail::let_go(state_);
    if (!state_) return;
    detail::MessageNode<T>* dropped;
    {
      std::lock_guard lock(state_->mutex);
      dropped = state_->close_receiver();
    }
    detail::ChannelState<T>::destroy_chain(dropped);
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>(std::size_t);
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) noexcept : state_(std::move(state)) {}

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel(std::size_t capacity) {
  if (capacity == 0) throw std::invalid_argument("channel capacity must be at least 1");
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace tyvo::rt
