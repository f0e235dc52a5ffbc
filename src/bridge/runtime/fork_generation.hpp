// What a forked child does with the runtime objects it inherited: nothing at all.
//
// fork() copies every frame, queue and timer entry of the parent's runtime, but none of its
// threads, and the child gets a pool and a timer thread of its own (see ForkSafeSingleton). An
// inherited object belongs to a runtime that no longer runs: resuming one of its coroutines would
// touch the parent's timer queue, and any of its mutexes may be held by a thread that vanished.
// So every object that coroutines wait on notes the generation it was made in, and in a later
// one it is inert: waking a waiter of it does nothing, its channels read as closed, and its
// memory is abandoned (leaked) rather than touched.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace tyvo::rt {

// 0 in the process that first ran this code, one more in each forked child, grandchild, ...
std::uint32_t fork_generation() noexcept;

// Whether an object made in `generation` came from a parent process through fork.
inline bool inherited(std::uint32_t generation) noexcept { return generation != fork_generation(); }

// Keeps `owner`'s object alive for good, without touching it: no destructor runs, no lock is
// taken, nothing is allocated. `owner` is empty afterwards.
template <class T>
void abandon(std::shared_ptr<T>& owner) noexcept {
  // A reference that is never dropped: the storage goes, the object it owns never does.
  alignas(std::shared_ptr<T>) unsigned char grave[sizeof(std::shared_ptr<T>)];
  ::new (static_cast<void*>(grave)) std::shared_ptr<T>(std::move(owner));
}

}  // namespace tyvo::rt
