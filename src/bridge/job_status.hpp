// What a job is doing and did last, kept by its job task (and by the loop, for a run's first step
// and for a run that outlives its task) while runs are observed, and read by tyvo_observe.jobs().
// One per registered job, shared by every copy of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tyvo::py {

enum class RunOutcome : std::uint8_t { none, returned, raised, cancelled };

struct JobStatusView {
  using Wall = std::chrono::system_clock::time_point;
  bool running = false;
  std::optional<Wall> next_fire, last_due, last_started, last_ended;
  RunOutcome last_outcome = RunOutcome::none;
};

class JobStatus {
 public:
  using Wall = std::chrono::system_clock::time_point;

  explicit JobStatus(std::uint64_t registration) noexcept : registration_(registration) {}
  JobStatus(const JobStatus&) = delete;
  JobStatus& operator=(const JobStatus&) = delete;

  // Registration order across every scheduler of the process.
  std::uint64_t registration() const noexcept { return registration_; }

  // The job task hands a run over: returns the run's number, by which its later steps are told
  // apart from a newer run's.
  std::uint64_t run_begun(Wall due) {
    std::lock_guard lock(mutex_);
    view_.running = true;
    view_.last_due = due;
    view_.next_fire.reset();
    return ++run_;
  }
  void run_started(std::uint64_t run, Wall started) {
    std::lock_guard lock(mutex_);
    if (run == run_) view_.last_started = started;
  }
  // The run ended (or never began: no `ended`). Only the first word about a run counts: its task
  // and the loop may both tell.
  void run_ended(std::uint64_t run, std::optional<Wall> ended, RunOutcome outcome) {
    std::lock_guard lock(mutex_);
    if (run != run_ || !view_.running) return;
    view_.running = false;
    if (ended) {
      view_.last_ended = ended;
      view_.last_outcome = outcome;
    }
  }
  void next_fire(std::optional<Wall> at) {
    std::lock_guard lock(mutex_);
    view_.next_fire = at;
  }

  JobStatusView view() {
    std::lock_guard lock(mutex_);
    return view_;
  }

 private:
  const std::uint64_t registration_;
  std::mutex mutex_;  // held for a few stores; never while Python runs or the lock is taken
  JobStatusView view_;
  std::uint64_t run_ = 0;
};

}  // namespace tyvo::py
