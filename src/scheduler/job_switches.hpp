// What a paused job whose fire times come back to back waits for: a job being switched on.
#pragma once

#include "bridge/runtime/bell.hpp"

namespace tyvo {

// Rings whenever pause()'s opposites, resume() and start(), switch a job on. Process-wide: it
// rings rarely, and only the few paused jobs without fire times of their own listen.
rt::Bell& job_switched_on();

}  // namespace tyvo
