#include "bridge/run_starter.hpp"

#include <algorithm>
#include <deque>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "bridge/run_callbacks.hpp"
#include "python/interpreter.hpp"
#include "bridge/run_event.hpp"
#include "bridge/run_observers.hpp"
#include "bridge/runtime/heap_release.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/start_permits.hpp"
#include "python/errors.hpp"

namespace tyvo::py {
namespace {

// The starter's hold on a run's ticket. Let go (the batch is done with, or dropped by an error),
// it settles the ticket, so that a job task waiting for a run being begun is never left waiting.
class TicketHold {
 public:
  explicit TicketHold(std::shared_ptr<RunTicket> ticket) noexcept : ticket_(std::move(ticket)) {}
  TicketHold(TicketHold&&) noexcept = default;
  TicketHold& operator=(TicketHold&& other) noexcept {
    if (this != &other) {
      release();
      ticket_ = std::move(other.ticket_);
    }
    return *this;
  }
  ~TicketHold() { release(); }

  RunTicket* operator->() const noexcept { return ticket_.get(); }

 private:
  void release() noexcept {
    if (ticket_) std::exchange(ticket_, nullptr)->settle();
  }

  std::shared_ptr<RunTicket> ticket_;
};

struct RunRequest {
  std::shared_ptr<const PythonCall> call;
  std::shared_ptr<const TaskLocals> locals;
  rt::OneshotSender<RunEnd> reply;
  TicketHold ticket;
  std::unique_ptr<RunDue> due;  // set when runs are observed
};

// The coroutines of one batch that go to the same loop and context.
struct LoopDelivery {
  const TaskLocals* locals;
  std::vector<EnsureFutureEntry> entries;
};

// `error`, for an observed run, goes along as the outcome (lock held: it is a new reference).
void reply_not_started(rt::OneshotSender<RunEnd>& reply, const std::string& failure,
                       const PyRef& error = PyRef{}) {
  RunEnd end;
  end.failure = failure;
  if (error) end.outcome = PythonException{error};
  reply.send(std::move(end));
}

LoopDelivery& delivery_for(std::vector<LoopDelivery>& deliveries, const TaskLocals* locals) {
  for (auto& delivery : deliveries) {
    if (delivery.locals == locals) return delivery;
  }
  return deliveries.emplace_back(LoopDelivery{locals, {}});
}

void reply_unwanted(rt::OneshotSender<RunEnd>& reply) {
  RunEnd end;
  end.unwanted = true;
  reply.send(std::move(end));
}

// Calls the handler of each run that may still begin; collects the coroutines per loop. The
// tickets of the runs begun are settled when the batch is let go, after every hand-over. Lock held.
void call_handlers(std::vector<RunRequest>& batch, std::vector<LoopDelivery>& deliveries) {
  for (auto& request : batch) {
    switch (request.ticket->begin()) {
      case RunTicket::Verdict::withdrawn:
        continue;  // its job task stopped waiting: nobody would look at the run
      case RunTicket::Verdict::unwanted:
        reply_unwanted(request.reply);
        continue;
      case RunTicket::Verdict::begin:
        break;
    }
    const PythonCall& call = *request.call;
    PyObject* awaitable = PyObject_Call(call.callable.get(), call.args.get(), call.kwargs.get());
    if (awaitable == nullptr) {
      PythonException failure = PythonException::fetch();
      reply_not_started(request.reply, failure.render(), request.due ? failure.error : PyRef{});
      continue;
    }
    PyRef event;
    if (request.due) {
      try {
        event = new_run_event(*request.due);
      } catch (const PythonErrorSet&) {
        PyErr_Clear();  // out of memory: this run goes unobserved
      }
    }
    LoopDelivery& delivery = delivery_for(deliveries, request.locals.get());
    delivery.entries.push_back(
        EnsureFutureEntry{PyRef::steal(awaitable), std::move(request.reply), std::move(event)});
  }
}

// One call_soon_threadsafe per loop; if the loop refuses (it is closed, say), every run bound for
// it fails with that error and its coroutines are released unawaited. Lock held.
void deliver(LoopDelivery& delivery, StartPermits& unused) {
  StartPermits permits = unused.split(delivery.entries.size());
  auto refused = hand_over_all(*delivery.locals, std::move(delivery.entries), std::move(permits));
  if (refused.empty()) return;
  const PythonException error = PythonException::fetch();
  const std::string failure = error.render();
  const PyRef observed_error = runs_observed() ? error.error : PyRef{};
  for (auto& reply : refused) reply_not_started(reply, failure, observed_error);
}

}  // namespace

class RunQueue : public std::enable_shared_from_this<RunQueue> {
 public:
  // Queues the request; if no thread is starting runs now and permits are left, a worker will.
  // It starts them from the back of the workers' queue, and from a worker without waking another
  // for it, so that the runs woken together (every job due at one instant) have all been asked
  // for by then and go in one batch, with one interpreter lock hand-off and one loop wake-up.
  void submit(RunRequest request) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(request));
      if (draining_ || unstarted_ >= max_unstarted) return;
      draining_ = true;
    }
    start_drainer();
  }

  // The loop took the first steps of `count` runs (or never will): lets as many more start.
  void started(std::size_t count) {
    bool wake_a_drainer;
    {
      std::lock_guard lock(mutex_);
      unstarted_ -= count;
      wake_a_drainer = !draining_ && !waiting_.empty() && unstarted_ < max_unstarted;
      if (wake_a_drainer) draining_ = true;
    }
    // Often called on the loop's thread with the interpreter lock held: the draining is left to
    // a worker.
    if (wake_a_drainer) start_drainer();
  }

 private:
  static constexpr std::size_t max_unstarted = 4096;

  static rt::Task<void> drain_later(std::shared_ptr<RunQueue> queue);

  void start_drainer() {
    try {
      rt::spawn_behind(drain_later(shared_from_this()));
    } catch (...) {
      // Out of memory: drain here rather than leave the runs waiting.
      drain();
    }
  }

  void drain() {
    std::vector<RunRequest> batch;
    std::vector<RunRequest> late;
    for (;;) {
      if (allowed() == 0) return;
      // The interpreter lock first, the batch second: runs asked for while this thread waits for
      // the lock (the loop may hold it for a while) join the batch instead of forming the next.
      InterpreterLock lock;
      const std::size_t count = take_batch(batch);
      if (count == 0) return;
      // Every run of the batch holds a permit from here; those handed over pass theirs on to the
      // loop, the others give theirs back with this.
      StartPermits unused(shared_from_this(), count);
      if (!lock.held()) {  // the program is ending: nothing is tried
        for (auto& request : batch) reply_not_started(request.reply, {});
        continue;
      }
      std::vector<LoopDelivery> deliveries;
      call_handlers(batch, deliveries);
      // Runs asked for while the handlers were called (the last sleepers of a burst woken
      // together, resumed on another worker) go with this hand-over, not in a loop wake-up of
      // their own.
      while (const std::size_t more = take_more(late)) {
        unused.add(more);
        call_handlers(late, deliveries);
        std::move(late.begin(), late.end(), std::back_inserter(batch));
      }
      for (auto& delivery : deliveries) deliver(delivery, unused);
      // Whatever Python objects the batch still holds go now, while the lock is held; and only
      // now, with every coroutine handed over, do job tasks that stopped meanwhile hear that
      // their runs have begun.
      deliveries.clear();
      batch.clear();
    }
  }

  // How many runs the drainer may start now; ends the draining when none.
  std::size_t allowed() {
    std::size_t count;
    bool out_of_permits;
    {
      std::lock_guard lock(mutex_);
      count = startable();
      if (count == 0) draining_ = false;
      out_of_permits = count == 0 && !waiting_.empty();
    }
    // More runs due at once than the loop may hold: once they have run, their short-lived state
    // leaves the heap full of holes.
    if (out_of_permits) rt::release_heap_after_burst();
    return count;
  }

  // mutex_ held.
  std::size_t startable() const {
    return std::min(waiting_.size(), max_unstarted - std::min(unstarted_, max_unstarted));
  }

  // Moves every run the drainer may start into `batch` (cleared first).
  std::size_t take_batch(std::vector<RunRequest>& batch) {
    std::lock_guard lock(mutex_);
    const std::size_t count = take(batch);
    if (count == 0) draining_ = false;  // not reached: only the drainer takes, and room only grows
    return count;
  }

  // The same in the middle of a batch: the drainer goes on draining even if there are none.
  std::size_t take_more(std::vector<RunRequest>& batch) {
    std::lock_guard lock(mutex_);
    return take(batch);
  }

  // mutex_ held.
  std::size_t take(std::vector<RunRequest>& batch) {
    batch.clear();
    const std::size_t count = startable();
    for (std::size_t i = 0; i < count; ++i) {
      batch.push_back(std::move(waiting_.front()));
      waiting_.pop_front();
    }
    unstarted_ += count;
    return count;
  }

  std::mutex mutex_;  // never held while the interpreter lock is taken or Python runs
  std::deque<RunRequest> waiting_;
  std::size_t unstarted_ = 0;  // permits out: runs taken from `waiting_` whose first step is due
  bool draining_ = false;
};

rt::Task<void> RunQueue::drain_later(std::shared_ptr<RunQueue> queue) {
  queue->drain();
  co_return;
}

std::shared_ptr<RunQueue> new_run_queue() { return std::make_shared<RunQueue>(); }

void StartPermits::give_back() noexcept {
  if (count_ == 0) return;
  if (rt::inherited(generation_)) {
    count_ = 0;
    rt::abandon(owner_);
    return;
  }
  try {
    owner_->started(std::exchange(count_, 0));
  } catch (...) {
    // Out of memory while spawning the drainer: the next submit drains.
  }
}

RunHandle start_run(std::shared_ptr<const PythonCall> call, std::shared_ptr<const TaskLocals> locals,
                    std::shared_ptr<const std::atomic<bool>> wanted, std::unique_ptr<RunDue> due) {
  auto [reply_sender, reply_receiver] = rt::oneshot<RunEnd>();
  auto ticket = std::make_shared<RunTicket>(std::move(wanted));
  RunHandle handle(std::move(reply_receiver), ticket);
  RunQueue& runs = *locals->runs;
  runs.submit(RunRequest{std::move(call), std::move(locals), std::move(reply_sender),
                         TicketHold(std::move(ticket)), std::move(due)});
  return handle;
}

}  // namespace tyvo::py
