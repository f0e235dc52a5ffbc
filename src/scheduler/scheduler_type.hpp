// The Python class Scheduler.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/job_status.hpp"
#include "module/trigger_value.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// Creates the class once per process and returns it, a new reference (NULL with an exception set).
PyObject* scheduler_class();

// A registered job as observers see it.
struct RegisteredJob {
  std::string id;
  TriggerValue trigger;
  bool active = false;
  std::shared_ptr<JobStatus> status;
};

// The jobs of `scheduler`, in registration order (lock held). TypeError for anything but a
// Scheduler; RuntimeError while a call of its own is changing it.
std::vector<RegisteredJob> registered_jobs(PyObject* scheduler);

// Every Scheduler of the process that was started and still lives (lock held).
std::vector<PyRef> started_schedulers();

}  // namespace tyvo::py
