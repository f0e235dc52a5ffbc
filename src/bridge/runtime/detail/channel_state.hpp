#pragma once

#include "bridge/runtime/detail/wait_list.hpp"
#include "bridge/runtime/fork_generation.hpp"
#include "bridge/runtime/detail/waiter.hpp"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace tyvo::rt::detail {

// A queued message. Messages travel in heap nodes so that building, moving
// out and destroying a value happen outside the channel's lock: under the
// lock only pointers change hands.
template <class T>
struct MessageNode {
  template <class U>
  explicit MessageNode(U&& message) : value(std::forward<U>(message)) {}
  MessageNode* next = nullptr;
  T value;
};

// A sender waiting for room. Its message is already in a node, so the
// receiver can move it into the queue on the sender's behalf.
template <class T>
struct BlockedSend : WaitLink<BlockedSend<T>> {
  Waiter waiter;
  std::unique_ptr<MessageNode<T>> message;
  bool accepted = false;
};

// Shared by every end of one channel. Every field is guarded by `mutex`.
//
// A message counts against the capacity until the receiver takes it out, so
// the queue never holds more than `capacity` messages. A woken receiver takes
// its message only when it actually runs; until then the message stays at the
// front of the queue, and a receive cancelled in between loses nothing.
template <class T>
class ChannelState {
 public:
  using Node = MessageNode<T>;

  explicit ChannelState(std::size_t capacity) noexcept : capacity_(capacity) {}
  ChannelState(const ChannelState&) = delete;
  ChannelState& operator=(const ChannelState&) = delete;
  ~ChannelState() { destroy_chain(head_); }

  std::mutex mutex;
  // Made before a fork: inert here, its ends see it closed and never lock it.
  const std::uint32_t generation = fork_generation();

  // --- everything below requires `mutex` ---

  bool receiver_alive() const noexcept { return receiver_alive_; }
  bool all_senders_gone() const noexcept { return senders_ == 0; }
  bool has_room() const noexcept { return queued_ < capacity_; }
  bool has_message() const noexcept { return head_ != nullptr; }

  void add_sender() noexcept { ++senders_; }

  // The last sender leaving wakes a waiting receiver so it sees the end.
  void remove_sender() {
    if (--senders_ == 0) wake_receiver();
  }

  void enqueue(Node* node) {
    append(node);
    wake_receiver();
  }

  void wait_for_room(BlockedSend<T>* send) noexcept { blocked_senders_.push_back(send); }
  void stop_waiting_for_room(BlockedSend<T>* send) noexcept {
    if (send->linked) blocked_senders_.remove(send);
  }

  void wait_for_message(const Waiter* receiver) noexcept {
    assert(waiting_receiver_ == nullptr && "two receives at once on a single-consumer channel");
    waiting_receiver_ = receiver;
  }
  void stop_waiting_for_message(const Waiter* receiver) noexcept {
    if (waiting_receiver_ == receiver) waiting_receiver_ = nullptr;
  }

  // Takes the front message, if any, and lets the first blocked sender in.
  Node* take() {
    Node* node = head_;
    if (node == nullptr) return nullptr;
    head_ = node->next;
    if (head_ == nullptr) tail_ = nullptr;
    node->next = nullptr;
    --queued_;
    if (BlockedSend<T>* send = blocked_senders_.pop_front()) {
      append(send->message.release());
      send->accepted = true;
      send->waiter.wake();
    }
    return node;
  }

  // The receiver is gone: refuses every blocked sender and hands back the
  // queued messages, for the caller to destroy after unlocking.
  Node* close_receiver() {
    receiver_alive_ = false;
    while (BlockedSend<T>* send = blocked_senders_.pop_front()) send->waiter.wake();
    Node* queued = head_;
    head_ = tail_ = nullptr;
    queued_ = 0;
    return queued;
  }

  static void destroy_chain(Node* node) noexcept {
    while (node != nullptr) delete std::exchange(node, node->next);
  }

 private:
  void append(Node* node) noexcept {
    (tail_ != nullptr ? tail_->next : head_) = node;
    tail_ = node;
    ++queued_;
  }

  void wake_receiver() {
    if (const Waiter* receiver = std::exchange(waiting_receiver_, nullptr)) receiver->wake();
  }

  const std::size_t capacity_;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  std::size_t queued_ = 0;
  std::size_t senders_ = 1;
  bool receiver_alive_ = true;
  const Waiter* waiting_receiver_ = nullptr;
  WaitList<BlockedSend<T>> blocked_senders_;
};

}  // namespace tyvo::rt::detail
