#pragma once

#include <cstddef>

namespace tyvo::rt {

// Gives the C heap's free pages back to the system once a burst of work has passed.
//
// A burst of thousands of runs due together (a start() with 100,000 jobs, say) makes a run's
// short-lived state for each of them; when the runs end, that state is freed, but in holes between
// long-lived allocations (sleeping jobs' frames, a timer heap that grew meanwhile), which the
// allocator keeps resident. Each call says such a burst is under way. About a second after the
// last call, a worker hands those pages back (glibc's malloc_trim); elsewhere nothing happens.
void release_heap_after_burst();

namespace detail {
// How many times the heap was handed back so far, for tests.
std::size_t heap_releases() noexcept;
}  // namespace detail

}  // namespace tyvo::rt
