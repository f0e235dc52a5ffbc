#pragma once

#include <cassert>

namespace tyvo::rt::detail {

// Links for an intrusive FIFO of waiters: the waiter lives in a suspended
// coroutine's frame, so queueing it allocates nothing and unlinking a
// cancelled one is O(1).
template <class Node>
struct WaitLink {
  Node* previous = nullptr;
  Node* next = nullptr;
  bool linked = false;
};

// Node derives from WaitLink<Node>. Not thread-safe: the owner's lock guards it.
template <class Node>
class WaitList {
 public:
  bool empty() const noexcept { return head_ == nullptr; }

  void push_back(Node* node) noexcept {
    assert(!node->linked);
    node->previous = tail_;
    node->next = nullptr;
    (tail_ != nullptr ? tail_->next : head_) = node;
    tail_ = node;
    node->linked = true;
  }

  Node* pop_front() noexcept {
    Node* first = head_;
    if (first != nullptr) remove(first);
    return first;
  }

  void remove(Node* node) noexcept {
    assert(node->linked);
    (node->previous != nullptr ? node->previous->next : head_) = node->next;
    (node->next != nullptr ? node->next->previous : tail_) = node->previous;
    node->previous = node->next = nullptr;
    node->linked = false;
  }

 private:
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
};

}  // namespace tyvo::rt::detail
