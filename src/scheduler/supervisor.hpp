// The body of start()'s awaitable: runs a job task per job until shutdown, then stops them.
#pragma once

#include <memory>
#include <vector>

#include "bridge/operation.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/task_locals.hpp"
#include "scheduler/job.hpp"
#include "scheduler/launched_tasks.hpp"

namespace tyvo {

// First waits (up to 10 seconds) until the tasks behind `retired` have ended: tasks of an earlier
// start() that a later one stopped, so that no job ever has two. Then starts a task for every job
// of `jobs` (each moved into its task), then one for every job that arrives on `new_jobs`, until a request (or the end) of
// `shutdown` arrives; then stops every task, waits up to 10 seconds for the jobs to become
// inactive and completes with (). Every task started is recorded in `launched`.
py::Operation supervise(std::vector<Job> jobs, std::shared_ptr<const py::TaskLocals> locals,
                        rt::Receiver<Job> new_jobs, rt::Receiver<rt::Signal> shutdown,
                        std::shared_ptr<LaunchedTasks> launched, std::vector<rt::Sender<rt::Signal>> retired);

}  // namespace tyvo
