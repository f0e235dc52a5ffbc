#pragma once

#include <coroutine>
#include <memory>

namespace tyvo::rt::detail {

// Where a suspended coroutine goes when something wakes it. A spawned task's
// root context posts to the pool; a race branch's context hands the handle to
// its race, which decides whether and when to resume it.
//
// Wakers call schedule() while holding the lock of the primitive the
// coroutine waited on (timer queue, channel, one-shot). An awaiter's
// destructor takes that same lock to unregister, so once it has the lock no
// wake for it is still in flight. schedule() must therefore only queue the
// handle, never resume it or run user code.
class Context {
 public:
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  virtual void schedule(std::coroutine_handle<> handle) = 0;

  const std::shared_ptr<void>& task_local() const noexcept { return task_local_; }

 protected:
  explicit Context(std::shared_ptr<void> task_local) noexcept : task_local_(std::move(task_local)) {}
  ~Context() = default;

 private:
  std::shared_ptr<void> task_local_;
};

// The context of the coroutine running on this thread, or null outside the
// runtime. Out-of-line on purpose: a coroutine may resume on another thread,
// and an inlined thread_local access could reuse the old thread's address.
Context* current_context() noexcept;

// Where an awaiter suspended on this thread should be woken: the current
// context, or the pool with no task-local when there is none.
Context& wake_target();

// Makes `context` current for the lifetime of the scope.
class ContextScope {
 public:
  explicit ContextScope(Context* context) noexcept;
  ~ContextScope();
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  Context* previous_;
};

}  // namespace tyvo::rt::detail
