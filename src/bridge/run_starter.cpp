#include "bridge/run_starter.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "bridge/callbacks.hpp"
#include "bridge/interpreter.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "module/errors.hpp"

namespace tyvo::py {
namespace {

struct RunRequest {
  std::shared_ptr<const PythonCall> call;
  std::shared_ptr<const TaskLocals> locals;
  rt::OneshotSender<RunStart> reply;
};

// The coroutines of one batch that go to the same loop and context.
struct LoopDelivery {
  const TaskLocals* locals;
  std::vector<EnsureFutureEntry> entries;
  std::vector<rt::OneshotSender<RunStart>> replies;
  std::vector<CompletionHandle> handles;
};

void reply_failure(rt::OneshotSender<RunStart>& reply, const std::string& failure) {
  RunStart outcome;
  outcome.failure = failure;
  reply.send(std::move(outcome));
}

LoopDelivery& delivery_for(std::vector<LoopDelivery>& deliveries, const TaskLocals* locals) {
  for (auto& delivery : deliveries) {
    if (delivery.locals == locals) return delivery;
  }
  return deliveries.emplace_back(LoopDelivery{locals, {}, {}, {}});
}

// Calls each handler; collects the coroutines per loop. Lock held.
void call_handlers(std::vector<RunRequest>& batch, std::vector<LoopDelivery>& deliveries) {
  for (auto& request : batch) {
    const PythonCall& call = *request.call;
    PyObject* awaitable = PyObject_Call(call.callable.get(), call.args.get(), call.kwargs.get());
    if (awaitable == nullptr) {
      reply_failure(request.reply, PythonException::fetch().render());
      continue;
    }
    auto [outcome_sender, outcome_receiver] = rt::oneshot<CoroutineOutcome>();
    LoopDelivery& delivery = delivery_for(deliveries, request.locals.get());
    delivery.entries.push_back(EnsureFutureEntry{PyRef::steal(awaitable), std::move(outcome_sender)});
    delivery.replies.push_back(std::move(request.reply));
    delivery.handles.push_back(std::move(outcome_receiver));
  }
}

// One call_soon_threadsafe per loop; if the loop refuses (it is closed, say), every run bound for
// it fails with that error and its coroutines are released unawaited. Lock held.
void deliver(LoopDelivery& delivery) {
  try {
    hand_over_all(*delivery.locals, std::move(delivery.entries));
  } catch (const PythonErrorSet&) {
    const std::string failure = PythonException::fetch().render();
    for (auto& reply : delivery.replies) reply_failure(reply, failure);
    return;
  }
  for (std::size_t i = 0; i < delivery.replies.size(); ++i) {
    RunStart outcome;
    outcome.started = std::move(delivery.handles[i]);
    delivery.replies[i].send(std::move(outcome));
  }
}

class RunQueue {
 public:
  // Queues the request; if no thread is starting runs now, this one starts them all.
  void submit(RunRequest request) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(request));
      if (draining_) return;
      draining_ = true;
    }
    drain();
  }

 private:
  void drain() {
    std::vector<RunRequest> batch;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        batch.clear();
        batch.swap(waiting_);
        if (batch.empty()) {
          draining_ = false;
          return;
        }
      }
      InterpreterLock lock;
      if (!lock.held()) continue;  // the program is ending: the dropped replies say so
      std::vector<LoopDelivery> deliveries;
      call_handlers(batch, deliveries);
      for (auto& delivery : deliveries) deliver(delivery);
      // Whatever Python objects the batch still holds go now, while the lock is held.
      deliveries.clear();
      batch.clear();
    }
  }

  std::mutex mutex_;  // never held while the interpreter lock is taken or Python runs
  std::vector<RunRequest> waiting_;
  bool draining_ = false;
};

RunQueue& run_queue() {
  static RunQueue* queue = new RunQueue();  // leaked: workers may use it until the process ends
  return *queue;
}

}  // namespace

rt::Task<RunStart> start_run(std::shared_ptr<const PythonCall> call,
                             std::shared_ptr<const TaskLocals> locals) {
  auto [reply_sender, reply_receiver] = rt::oneshot<RunStart>();
  run_queue().submit(RunRequest{std::move(call), std::move(locals), std::move(reply_sender)});
  std::optional<RunStart> reply = co_await reply_receiver;
  if (!reply) co_return RunStart{};  // dropped unanswered: the program is ending
  co_return std::move(*reply);
}

}  // namespace tyvo::py
