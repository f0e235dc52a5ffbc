// Whether a run that a job task asked for may still begin, agreed between the job task and the
// run starter.
//
// A run can wait in the run starter for a long time (thousands due at once on a busy loop). By
// the time its turn comes, its job task may have stopped (shutdown, a later start(), the job
// scheduled again under its id) or its job may have been paused. Such a run must never begin:
// nothing would wait for it, and a new task of the same job may already be running the job. The
// starter asks the ticket right before it calls the handler; the task withdraws it when it stops
// waiting. When the two meet, the one that came first decides.
#pragma once

#include <atomic>
#include <coroutine>
#include <memory>
#include <mutex>
#include <utility>

#include "bridge/runtime/detail/waiter.hpp"

namespace tyvo::py {

class RunTicket {
 public:
  // The run begins only while `wanted` (the job's active flag) holds true.
  explicit RunTicket(std::shared_ptr<const std::atomic<bool>> wanted) noexcept : wanted_(std::move(wanted)) {}
  RunTicket(const RunTicket&) = delete;
  RunTicket& operator=(const RunTicket&) = delete;

  enum class Verdict { begin, withdrawn, unwanted };

  // The starter, right before it calls the handler. After `begin` it must call settle() once the
  // coroutine has been handed to the loop, or has failed to be.
  Verdict begin() {
    std::lock_guard lock(mutex_);
    if (state_ == State::withdrawn) return Verdict::withdrawn;
    if (!wanted_->load()) {
      state_ = State::settled;
      return Verdict::unwanted;
    }
    state_ = State::beginning;
    return Verdict::begin;
  }

  // The starter is done with the run (any thread; does nothing unless the run was begun).
  void settle() noexcept {
    std::lock_guard lock(mutex_);
    if (state_ != State::beginning) return;
    state_ = State::settled;
    if (const rt::detail::Waiter* task = std::exchange(waiting_, nullptr)) task->wake();
  }

  // The job task no longer waits for the run. `co_await withdraw()`: from now on the run never
  // begins; if the starter is beginning it at this very moment, resumes only once the run has
  // been handed to the loop, so that everything the task does afterwards (above all its last
  // write to the active flag, which the shutdown procedure waits for) comes after the hand-over.
  class Withdrawal;
  Withdrawal withdraw() noexcept;

  // The same without waiting, for a task frame that goes without finishing (nothing watches it).
  void withdraw_now() noexcept {
    std::lock_guard lock(mutex_);
    if (state_ == State::waiting) state_ = State::withdrawn;
  }

 private:
  enum class State { waiting, beginning, settled, withdrawn };

  // Withdraws if the run has not begun; false while the starter is beginning it.
  bool withdrawn_or_settled() {
    if (state_ == State::waiting) state_ = State::withdrawn;
    return state_ != State::beginning;
  }

  std::mutex mutex_;  // never held while Python runs or the interpreter lock is taken
  State state_ = State::waiting;
  const rt::detail::Waiter* waiting_ = nullptr;
  std::shared_ptr<const std::atomic<bool>> wanted_;
};

class [[nodiscard]] RunTicket::Withdrawal {
 public:
  explicit Withdrawal(RunTicket& ticket) noexcept : ticket_(ticket) {}
  Withdrawal(const Withdrawal&) = delete;
  Withdrawal& operator=(const Withdrawal&) = delete;
  ~Withdrawal() {
    if (!may_wait_) return;
    std::lock_guard lock(ticket_.mutex_);
    if (ticket_.waiting_ == &waiter_) ticket_.waiting_ = nullptr;
  }

  bool await_ready() {
    std::lock_guard lock(ticket_.mutex_);
    return ticket_.withdrawn_or_settled();
  }

  bool await_suspend(std::coroutine_handle<> suspended) {
    std::lock_guard lock(ticket_.mutex_);
    if (ticket_.state_ != State::beginning) return false;
    waiter_.park(suspended);
    may_wait_ = true;
    ticket_.waiting_ = &waiter_;
    return true;
  }

  void await_resume() noexcept { may_wait_ = false; }

 private:
  RunTicket& ticket_;
  rt::detail::Waiter waiter_;
  bool may_wait_ = false;  // touched only by the awaiting coroutine's own steps
};

inline RunTicket::Withdrawal RunTicket::withdraw() noexcept { return Withdrawal(*this); }

}  // namespace tyvo::py
