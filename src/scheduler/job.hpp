// A registered job, and the block of it that the worker runtime keeps.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "bridge/python_call.hpp"
#include "module/exit_release.hpp"
#include "module/trigger_value.hpp"

namespace tyvo {

// The Python side of a job: handler, args and kwargs, shared by every copy of the job.
using JobCall = py::PythonCall;

// As the Scheduler object registers it.
struct Job {
  std::string id;
  std::shared_ptr<const JobCall> call;
  TriggerValue trigger;
  // True: runs happen at fire times. Shared with the runtime, so pause and resume reach the task.
  std::shared_ptr<std::atomic<bool>> active;
};

using JobRegistry = std::unordered_map<std::string, Job>;

// What the worker runtime keeps of a job: one immutable block, shared by the supervisor and the
// job's task, so that a started job costs one allocation here and no copies.
struct RuntimeJob {
  std::string id;
  JobCall call;
  TriggerValue trigger;
  std::shared_ptr<std::atomic<bool>> active;
};

// Drops the call's references (lock held): at exit, see module/exit_release.hpp.
inline void release_references(RuntimeJob& job) { release_references(job.call); }

// The runtime's block for `job`, with Python references of its own (lock held). The registry's
// references belong to the Scheduler object alone, and are the ones it shows the cyclic collector;
// whatever travels to the worker runtime holds its own, counted and never visited, so that
// collecting a Scheduler can never clear a handler that a running job still uses.
inline std::shared_ptr<const RuntimeJob> for_runtime(const Job& job) {
  auto block = std::make_shared<RuntimeJob>(RuntimeJob{job.id, *job.call, job.trigger, job.active});
  py::release_at_exit(block);  // held by the runtime: released at exit, see exit_release.hpp
  return block;
}

}  // namespace tyvo
