#include "bridge/runtime/detail/context.hpp"

#include "bridge/runtime/detail/pool.hpp"

namespace tyvo::rt::detail {
namespace {

thread_local Context* current = nullptr;
thread_local bool runtime_thread = false;

}  // namespace

Context* current_context() noexcept { return current; }

Context& wake_target() {
  if (current != nullptr) return *current;
  return Pool::instance().detached_context();
}

ContextScope::ContextScope(Context* context) noexcept : previous_(current) { current = context; }

ContextScope::~ContextScope() { current = previous_; }

void mark_runtime_thread() noexcept { runtime_thread = true; }

bool is_runtime_thread() noexcept { return runtime_thread; }

}  // namespace tyvo::rt::detail
