#include "bridge/runtime/fork_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace tyvo::rt {
namespace {

std::atomic<std::uint32_t> generation{0};

// Runs in the child before fork() returns there, while it has one thread.
void count_fork_in_child() { generation.store(generation.load(std::memory_order_relaxed) + 1); }

// Registered when the library is loaded, before any object can note a generation.
[[maybe_unused]] const bool counting_forks = (pthread_atfork(nullptr, nullptr, &count_fork_in_child), true);

}  // namespace

std::uint32_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

}  // namespace tyvo::rt
