#include "bridge/runtime/heap_release.hpp"

#include "bridge/runtime/fork_generation.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tyvo::rt {
namespace {

// The burst is over once a whole quiet period passes without a call.
constexpr auto quiet_period = std::chrono::seconds(1);

constexpr std::uint32_t none_pending = UINT32_MAX;

std::atomic<bool> burst_seen{false};
// The fork generation whose worker will release, if one will: a release pending in the parent
// never happens in a forked child, which then makes its own.
std::atomic<std::uint32_t> pending_in{none_pending};
std::atomic<std::size_t> releases{0};

Task<void> release_when_quiet() {
  do {
    burst_seen.store(false);
    co_await sleep_for(quiet_period);
  } while (burst_seen.load());
#ifdef __GLIBC__
  malloc_trim(0);
#endif
  releases.fetch_add(1);
  pending_in.store(none_pending);
  // A call that came between the last look and now found a release still pending: honour it.
  if (burst_seen.load()) release_heap_after_burst();
}

}  // namespace

void release_heap_after_burst() {
  burst_seen.store(true);
  const std::uint32_t here = fork_generation();
  std::uint32_t pending = pending_in.load();
  do {
    if (pending == here) return;
  } while (!pending_in.compare_exchange_weak(pending, here));
  try {
    spawn(release_when_quiet());
  } catch (...) {
    pending_in.store(none_pending);  // out of memory: the next burst tries again
  }
}

namespace detail {
std::size_t heap_releases() noexcept { return releases.load(); }
}  // namespace detail

}  // namespace tyvo::rt
