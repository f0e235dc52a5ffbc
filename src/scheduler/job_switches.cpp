#include "scheduler/job_switches.hpp"

#include "bridge/runtime/detail/fork_safe_singleton.hpp"

namespace tyvo {

rt::Bell& job_switched_on() {
  // A forked child gets a bell of its own: the parent's may be locked by a thread it lacks.
  static rt::detail::ForkSafeSingleton<rt::Bell> bell([] { return new rt::Bell(); });  // never destroyed
  return bell.get();
}

}  // namespace tyvo
