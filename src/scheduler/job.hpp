// A registered job, and the copies of it that travel to the supervisor and the job task.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "bridge/python_call.hpp"
#include "bridge/runtime/channel.hpp"
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
  // Set only in the supervisor's copy, once the job's task has been started.
  std::optional<rt::Sender<rt::Signal>> shutdown_tx;
};

using JobRegistry = std::unordered_map<std::string, Job>;

}  // namespace tyvo
