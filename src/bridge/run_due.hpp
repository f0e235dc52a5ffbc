// What a job task tells about a run it asks for while runs are observed: which job, the instant
// the run is due and whether it is the run made as the task began.
#pragma once

#include <chrono>
#include <string>

namespace tyvo::py {

struct RunDue {
  std::string job_id;
  // The fire time the run is for (the deadline its task slept to), on both clocks; for the run
  // made as the task began, the instant it began.
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  bool first = false;
};

}  // namespace tyvo::py
