#include "scheduler/supervisor.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/log.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"
#include "scheduler/job_task.hpp"

namespace tyvo {
namespace {

using std::chrono::steady_clock;

constexpr auto completion_bound = std::chrono::seconds(10);
constexpr auto completion_recheck = std::chrono::seconds(1);
constexpr auto task_settle_recheck = std::chrono::milliseconds(1);

// What the supervisor keeps of a job whose task it started: the job itself went to the task.
struct StartedJob {
  std::shared_ptr<std::atomic<bool>> active;
  rt::Sender<rt::Signal> stop;
};

using StartedJobs = std::unordered_map<std::string, StartedJob>;

// Gives the job a stop channel and starts its task, which owns the job from then on.
void launch(StartedJobs& started, Job job, const std::shared_ptr<const py::TaskLocals>& locals,
            const std::shared_ptr<LaunchedTasks>& launched) {
  auto [stop_sender, stop_receiver] = rt::channel<rt::Signal>(1);
  launched->add(stop_sender);
  std::string id = job.id;
  auto active = job.active;
  rt::spawn(run_job(std::move(job), std::move(stop_receiver), locals, launched));
  started.insert_or_assign(std::move(id), StartedJob{std::move(active), std::move(stop_sender)});
}

// Marks the supervisor's tasks orphaned if its frame goes before it has shut them down (its
// awaitable was cancelled): a later start() or the Scheduler's end then stops them.
struct OrphanedUnlessSettled {
  std::shared_ptr<LaunchedTasks> launched;
  bool settled = false;
  ~OrphanedUnlessSettled() {
    if (!settled) launched->orphan();
  }
};

rt::Task<void> wait_until_ended(const std::vector<rt::Sender<rt::Signal>>& stops) {
  const auto deadline = steady_clock::now() + completion_bound;
  for (const auto& stop : stops) {
    while (!stop.is_closed() && steady_clock::now() < deadline) co_await rt::sleep_for(task_settle_recheck);
  }
}

rt::Task<void> shutdown_requested(rt::Receiver<rt::Signal>& shutdown) {
  co_await shutdown.recv();  // a request, or every sender gone: both mean shut down
}

rt::Task<std::optional<Job>> next_new_job(rt::Receiver<Job>& new_jobs) { co_return co_await new_jobs.recv(); }

// A job scheduled again under an id that already has a task replaces it: the old task is stopped,
// since nothing else could ever reach it again.
rt::Task<void> admit(StartedJobs& jobs, Job job, const std::shared_ptr<const py::TaskLocals>& locals,
                     const std::shared_ptr<LaunchedTasks>& launched) {
  auto existing = jobs.find(job.id);
  if (existing != jobs.end()) {
    co_await existing->second.stop.send(rt::Signal{});
    jobs.erase(existing);
  }
  launch(jobs, std::move(job), locals, launched);
}

// A task has ended once it let go of its stop channel, which it does only after its last write to
// the job's active flag.
bool task_running(const StartedJob& job) { return !job.stop.is_closed(); }

// Active jobs whose task still runs: a job whose task has ended (its pattern has no further
// occurrence, its handler could not be called) has stopped, whatever its flag says.
bool any_active_running(const StartedJobs& jobs) {
  return std::any_of(jobs.begin(), jobs.end(),
                     [](const auto& entry) { return entry.second.active->load() && task_running(entry.second); });
}

bool any_task_running(const StartedJobs& jobs) {
  return std::any_of(jobs.begin(), jobs.end(), [](const auto& entry) { return task_running(entry.second); });
}

rt::Task<void> stop_every_job(StartedJobs& jobs) {
  TYVO_LOG_WARN("Shutting down {} jobs", jobs.size());
  for (auto& [id, job] : jobs) {
    co_await job.stop.send(rt::Signal{});  // a task that already ended just misses it
  }
  // A poll, not a notification: the tasks share nothing with us but their active flags and their
  // stop channels. Inactive is not enough: a paused job's task may still be on its way to its
  // final "inactive" write, and a start() made as soon as this procedure ends would then see its
  // jobs switched off again behind its back. So once no job is active, the wait goes on, briefly,
  // until their tasks have ended too.
  const auto deadline = steady_clock::now() + completion_bound;
  for (;;) {
    const bool active = any_active_running(jobs);
    if (!active && !any_task_running(jobs)) break;
    const auto now = steady_clock::now();
    if (now >= deadline) {
      if (active) TYVO_LOG_ERROR("Jobs did not complete shudown within 10 seconds");
      break;
    }
    co_await rt::sleep_until(std::min(now + (active ? completion_recheck : task_settle_recheck), deadline));
  }
}

}  // namespace

py::Operation supervise(std::vector<Job> new_at_start, std::shared_ptr<const py::TaskLocals> locals,
                        rt::Receiver<Job> new_jobs, rt::Receiver<rt::Signal> shutdown,
                        std::shared_ptr<LaunchedTasks> launched, std::vector<rt::Sender<rt::Signal>> retired) {
  OrphanedUnlessSettled orphan_guard{launched};
  if (!retired.empty()) {
    co_await wait_until_ended(retired);
    retired.clear();
  }
  StartedJobs jobs;
  jobs.reserve(new_at_start.size());
  for (auto& job : new_at_start) launch(jobs, std::move(job), locals, launched);
  new_at_start = std::vector<Job>();

  bool new_jobs_open = true;
  while (new_jobs_open) {
    auto event = co_await rt::race(shutdown_requested(shutdown), next_new_job(new_jobs));
    if (event.index() == 0) break;
    if (auto& job = std::get<1>(event)) {
      co_await admit(jobs, std::move(*job), locals, launched);
    } else {
      new_jobs_open = false;  // only shutdown() awaitables still hold senders
      co_await shutdown_requested(shutdown);
    }
  }

  co_await stop_every_job(jobs);
  launched->settle();
  orphan_guard.settled = true;
  // Released in this order; afterwards every send on either channel fails with "channel closed".
  jobs.clear();
  locals.reset();
  { auto released = std::move(new_jobs); }
  { auto released = std::move(shutdown); }
  co_return py::EmptyTuple{};
}

}  // namespace tyvo
