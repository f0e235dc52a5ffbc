// The task that runs one job: at once, then at every fire time, until it is told to stop.
#pragma once

#include <memory>

#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/task.hpp"
#include "bridge/task_locals.hpp"
#include "scheduler/job.hpp"
#include "scheduler/launched_tasks.hpp"

namespace tyvo {

// Every wait of the job (for a run's end, for the next fire time) also listens for the stop
// channel, and a stop already there wins before the next wait begins. A stop clears
// the job's active flag (unless `launched` was retired by a later start()) and logs "Job {} is now
// shutdown"; a run that is in progress then goes on to its end on the loop, unobserved.
rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched);

}  // namespace tyvo
