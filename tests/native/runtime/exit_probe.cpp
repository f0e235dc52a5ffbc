// Leaves work pending on every kind of primitive and then exits: the process
// must end at once, neither hanging on the runtime's threads nor crashing in
// exit-time destructors. With "thread-ended", a worker is first ended in place
// (pthread_exit, as an interpreter ends threads at its exit) deep inside a task.
#include "bridge/runtime/block_on.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <pthread.h>

using namespace tyvo::rt;
using namespace std::chrono_literals;

namespace {

// Held globally so that the waiting tasks stay reachable at exit.
auto stop_channel = channel<Signal>(1);
auto pending_value = oneshot<int>();

Task<void> sleep_long() { co_await sleep_for(1h); }

Task<void> receive(Receiver<Signal>& stop) { co_await stop.recv(); }

Task<void> wait_for_stop(Receiver<Signal>& stop) { co_await race(receive(stop), sleep_long()); }

Task<void> wait_for_value(OneshotReceiver<int>& value) { co_await value; }

Task<void> started() { co_await sleep_for(20ms); }

Task<int> end_thread() {
  pthread_exit(nullptr);
  co_return 0;
}

Task<void> nested_end() {
  try {
    co_await end_thread();
  } catch (...) {
    throw;  // what user code may do; the unwinding must still reach the thread's start
  }
}

Task<void> race_into_thread_end() { co_await race(nested_end(), sleep_long()); }

}  // namespace

int main(int argc, char** argv) {
  for (int i = 0; i < 1000; ++i) spawn(sleep_long());
  spawn(wait_for_stop(stop_channel.second));
  spawn(wait_for_value(pending_value.second));
  block_on(started());
  if (argc > 1 && std::string(argv[1]) == "thread-ended") {
    spawn(race_into_thread_end());
    std::this_thread::sleep_for(300ms);
  }
  if (argc > 1 && std::string(argv[1]) == "exit") std::exit(0);
  return 0;
}
