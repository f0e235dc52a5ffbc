#include "bridge/runtime/runtime.hpp"

#include "bridge/runtime/detail/pool.hpp"
#include "bridge/runtime/forced_unwind.hpp"

#include <coroutine>
#include <cstdio>
#include <exception>
#include <string>

namespace tyvo::rt {
namespace {

void report_failure(const char* what) {
  // One write, so concurrent reports do not interleave within a line.
  const std::string line = std::string("tyvo: task failed: ") + what + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The root of a spawned task: owns it, is its context (posting wakes to the
// pool) and frees itself when the task ends.
class Detached {
 public:
  class promise_type final : public detail::Context {
   public:
    promise_type(Task<void>&, std::shared_ptr<void>& task_local) noexcept : Context(task_local) {}

    Detached get_return_object() noexcept {
      return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() {
      rethrow_if_forced_unwind();  // the thread is ending: let it
      report_failure("unknown error");
    }

    void schedule(std::coroutine_handle<> handle) override { detail::Pool::instance().post(handle, this); }
  };

  std::coroutine_handle<promise_type> handle;
};

Detached run_detached(Task<void> task, std::shared_ptr<void> /*task_local: held by the promise*/) {
  try {
    co_await task;
  } catch (const std::exception& error) {
    report_failure(error.what());
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    report_failure("unknown error");
  }
}

}  // namespace

void spawn(Task<void> task) { spawn(std::move(task), nullptr); }

void spawn(Task<void> task, std::shared_ptr<void> task_local) {
  if (!task) return;
  auto& pool = detail::Pool::instance();
  const auto root = run_detached(std::move(task), std::move(task_local)).handle;
  pool.post(root, &root.promise());
}

void spawn_behind(Task<void> task) {
  if (!task) return;
  const auto root = run_detached(std::move(task), nullptr).handle;
  detail::Pool::instance().post_behind(root, &root.promise());
}

std::shared_ptr<void> current_task_local() {
  const detail::Context* context = detail::current_context();
  return context != nullptr ? context->task_local() : nullptr;
}

bool on_runtime_thread() noexcept { return detail::is_runtime_thread(); }

}  // namespace tyvo::rt
