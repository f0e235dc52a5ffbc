// The runtime halves of schedule() and shutdown(): what their awaitables do.
#pragma once

#include <optional>
#include <string>

#include "bridge/operation.hpp"
#include "bridge/runtime/channel.hpp"
#include "scheduler/job.hpp"

namespace tyvo {

// On a started scheduler, hands the job to the supervisor; yields the id, or "channel closed".
py::Operation hand_job_to_supervisor(Job job, bool started, std::optional<rt::Sender<Job>> new_jobs);

// Puts one shutdown request to the supervisor; yields (), or the reason it could not.
py::Operation request_shutdown(bool started, std::optional<rt::Sender<rt::Signal>> shutdown);

}  // namespace tyvo
