// A registered job, and the copies of it that travel to the supervisor and the job task.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "python/python_call.hpp"
#include "bridge/job_status.hpp"
#include "python/exit_release.hpp"
#include "module/trigger_value.hpp"

namespace tyvo {

// The Python side of a job: handler, args and kwargs, shared by every copy of the job.
using JobCall = py::PythonCall;

struct Job {
  std::string id;
  std::shared_ptr<const JobCall> call;
  TriggerValue trigger;
  // True: runs happen at fire times. Shared by every copy, so pause and resume reach the task.
  std::shared_ptr<std::atomic<bool>> active;
  // What the job does and did last, for observers: made only once tyvo_observe is loaded (a job
  // scheduled before has none). Shared by every copy, like `active`.
  std::shared_ptr<py::JobStatus> status;
};

using JobRegistry = std::unordered_map<std::string, Job>;

// A copy of `job` with Python references of its own (lock held). The registry's references
// belong to the Scheduler object alone, and are the ones it shows the cyclic collector; whatever
// travels to the worker runtime holds its own, counted and never visited, so that collecting a
// Scheduler can never clear a handler that a running job still uses.
inline Job with_own_call(const Job& job) {
  Job copy = job;
  auto call = std::make_shared<JobCall>(*job.call);
  py::release_at_exit(call);  // held by the runtime: released at exit, see exit_release.hpp
  copy.call = std::move(call);
  return copy;
}

}  // namespace tyvo
