// Starting job runs: call the handler on a worker thread and hand its coroutine to the loop.
//
// Runs that become due together (a thousand jobs on the same interval, say) are started in
// batches: the first worker to ask takes the interpreter lock once and starts every run queued
// meanwhile, and hands all coroutines bound for one loop over in one call_soon_threadsafe. One
// lock hand-off and one loop wake-up per batch instead of per run is what keeps a busy scheduler
// from queueing behind the interpreter lock.
#pragma once

#include <atomic>
#include <memory>

#include "bridge/coroutine_handover.hpp"
#include "bridge/run_ticket.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/task_locals.hpp"
#include "python/python_call.hpp"

namespace tyvo::py {

// A run asked for: its one message, how it ended (see RunEnd; dropped unsent when the loop
// dropped its coroutine unrun, see outcome_of_lost_run), and its ticket (see RunTicket).
class RunHandle {
 public:
  RunHandle(rt::OneshotReceiver<RunEnd> end, std::shared_ptr<RunTicket> ticket) noexcept
      : end_(std::move(end)), ticket_(std::move(ticket)) {}
  RunHandle(RunHandle&&) noexcept = default;
  RunHandle& operator=(RunHandle&&) = delete;
  // Going without withdraw(): the run never begins unless it already has.
  ~RunHandle() {
    if (ticket_) ticket_->withdraw_now();
  }

  const rt::OneshotReceiver<RunEnd>& end() const noexcept { return end_; }

  // Stops waiting for the run; see RunTicket::withdraw.
  RunTicket::Withdrawal withdraw() noexcept { return ticket_->withdraw(); }

 private:
  rt::OneshotReceiver<RunEnd> end_;
  std::shared_ptr<RunTicket> ticket_;
};

// A run starter for the jobs of one set of task locals.
std::shared_ptr<RunQueue> new_run_queue();

// Asks for a run, without waiting. The run begins when its turn comes, unless by then `wanted`
// is false or the handle has been withdrawn; once begun, it is made even if nobody waits for its
// end any more: the coroutine then runs to its end on the loop and its outcome is discarded.
RunHandle start_run(std::shared_ptr<const PythonCall> call, std::shared_ptr<const TaskLocals> locals,
                    std::shared_ptr<const std::atomic<bool>> wanted);

}  // namespace tyvo::py
