#include "scheduler/operations.hpp"

namespace tyvo {

// g++ 12 miscompiles co_await inside a short-circuiting condition, so each await stands alone.

py::Operation hand_job_to_supervisor(Job job, bool started, std::optional<rt::Sender<Job>> new_jobs) {
  std::string id = job.id;
  if (!started) co_return py::JobId{std::move(id)};  // start() will pick it up from the registry
  if (!new_jobs) co_return py::PlainError{"channel closed"};
  const bool accepted = co_await new_jobs->send(std::move(job));
  if (!accepted) co_return py::PlainError{"channel closed"};
  co_return py::JobId{std::move(id)};
}

py::Operation request_shutdown(bool started, std::optional<rt::Sender<rt::Signal>> shutdown) {
  if (!started) co_return py::PlainError{"scheduler is not started yet"};
  if (!shutdown) co_return py::PlainError{"channel closed"};
  const bool accepted = co_await shutdown->send(rt::Signal{});
  if (!accepted) co_return py::PlainError{"channel closed"};
  co_return py::EmptyTuple{};
}

}  // namespace tyvo
