// What a job task tells about a run it asks for while runs are observed: which job, the instant
// the run is due and whether it is the run made as the task began.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/job_status.hpp"

namespace tyvo::py {

struct RunDue {
  std::string job_id;
  // The fire time the run is for (the deadline its task slept to), on both clocks; for the run
  // made as the task began, the instant it began.
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  bool first = false;
  // The job's status and the run's number in it (see JobStatus::run_begun).
  std::shared_ptr<JobStatus> status;
  std::uint64_t run = 0;
  std::string cron;  // a cron job's pattern as written; empty for an interval
};

}  // namespace tyvo::py
