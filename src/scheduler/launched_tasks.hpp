// The job tasks that one start() launched, reachable after its supervisor is gone. Cancelling
// start()'s awaitable drops the supervisor and leaves its tasks running; without this, nothing
// could ever stop them, and a later start() would run every job twice.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "bridge/runtime/channel.hpp"

namespace tyvo {

class LaunchedTasks {
 public:
  // The supervisor, as it starts a task: keeps a sender of the task's stop channel.
  void add(const rt::Sender<rt::Signal>& stop) {
    std::lock_guard lock(mutex_);
    if (stops_.size() >= prune_at_) {
      // Tasks that have ended (a job scheduled again under its id, say) need no sender any more.
      std::erase_if(stops_, [](const rt::Sender<rt::Signal>& sender) { return sender.is_closed(); });
      prune_at_ = std::max<std::size_t>(64, 2 * stops_.size());
    }
    stops_.push_back(stop);
  }

  // The supervisor is done with its tasks: it shut them down itself.
  void settle() {
    std::lock_guard lock(mutex_);
    stops_.clear();
    settled_ = true;
  }
  // The supervisor went away without shutting its tasks down: its awaitable was cancelled.
  void orphan() { orphaned_.store(true); }
  bool orphaned() const { return orphaned_.load(); }
  bool settled() {
    std::lock_guard lock(mutex_);
    return settled_;
  }

  // Tells every task to stop, as a retirement: a retired task leaves its job's active flag alone,
  // since a later start() has just made the job active for its own task. Returns the senders, by
  // which the caller sees the tasks end. Any thread; touches no Python.
  std::vector<rt::Sender<rt::Signal>> retire() {
    retired_.store(true);
    std::vector<rt::Sender<rt::Signal>> stops;
    {
      std::lock_guard lock(mutex_);
      stops.swap(stops_);
      settled_ = true;
    }
    for (auto& stop : stops) {
      rt::Signal request;
      (void)stop.try_send(request);  // full: a stop is on its way already; closed: it has ended
    }
    return stops;
  }
  // Asked by a task that was told to stop.
  bool retired() const { return retired_.load(); }

 private:
  std::mutex mutex_;  // never held while Python runs or the interpreter lock is taken
  std::vector<rt::Sender<rt::Signal>> stops_;
  std::size_t prune_at_ = 64;
  bool settled_ = false;
  std::atomic<bool> orphaned_{false};
  std::atomic<bool> retired_{false};
};

}  // namespace tyvo
