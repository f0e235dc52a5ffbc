#include "bridge/runtime/detail/alarm.hpp"

#include <cerrno>
#include <cstdint>
#include <system_error>

#ifndef __linux__
#include <algorithm>
#endif

#ifdef __linux__
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tyvo::rt::detail {

#ifdef __linux__
namespace {

// The kernel refuses absolute times from about 2262 on; this one (2255) it takes.
constexpr std::int64_t latest_settable_second = 9'000'000'000;

timespec as_timespec(std::chrono::nanoseconds since_epoch) {
  using std::chrono::nanoseconds;
  // it_value {0, 0} would disarm the timer instead of firing it: the earliest instant is 1 ns.
  if (since_epoch <= nanoseconds::zero()) return timespec{0, 1};
  const std::int64_t count = since_epoch.count();
  if (count / 1'000'000'000 >= latest_settable_second) return timespec{latest_settable_second, 0};
  return timespec{static_cast<time_t>(count / 1'000'000'000), static_cast<long>(count % 1'000'000'000)};
}

void drain(int fd) {
  std::uint64_t expirations;
  while (read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
  }
}

}  // namespace

Alarm::Alarm() {
  alarm_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (alarm_fd_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  wall_set_fd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  watch_wall_clock();
}

// A wall-clock timer far in the future that the kernel cancels whenever the wall clock is set:
// never due, it only reports the steps. Armed again after each one.
void Alarm::watch_wall_clock() {
  if (wall_set_fd_ < 0) return;
  itimerspec far{};
  far.it_value.tv_sec = latest_settable_second;
  if (timerfd_settime(wall_set_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr) != 0) {
    close(wall_set_fd_);  // a kernel without the flag: the timer's periodic look at the wall clock remains
    wall_set_fd_ = -1;
  }
}

void Alarm::set(std::optional<Clock::time_point> at) {
  itimerspec value{};
  if (at) value.it_value = as_timespec(at->time_since_epoch());
  // Cannot fail for a valid descriptor and time; a failure would only cost the alarm.
  (void)timerfd_settime(alarm_fd_, TFD_TIMER_ABSTIME, &value, nullptr);
}

void Alarm::wait() {
  pollfd fds[2] = {{alarm_fd_, POLLIN, 0}, {wall_set_fd_, POLLIN, 0}};
  const nfds_t count = wall_set_fd_ >= 0 ? 2 : 1;
  if (poll(fds, count, -1) <= 0) return;  // EINTR: the caller looks at the clocks anyway
  if (fds[0].revents != 0) drain(alarm_fd_);
  if (count == 2 && fds[1].revents != 0) {
    std::uint64_t expirations;
    if (read(wall_set_fd_, &expirations, sizeof expirations) < 0 && errno == ECANCELED) watch_wall_clock();
  }
}

#else

// Elsewhere (untested: tyvo is built and tested on Linux) a condition variable, whose timed wait
// may be converted to the wall clock by the C++ library: no wait lasts more than a second, so a
// step shifts no deadline by more than that, and the timer looks at both clocks every time.
Alarm::Alarm() = default;

void Alarm::set(std::optional<Clock::time_point> at) {
  std::lock_guard lock(mutex_);
  at_ = at;
  was_set_ = true;
  changed_.notify_one();
}

void Alarm::wait() {
  std::unique_lock lock(mutex_);
  was_set_ = false;
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(1);
  const Clock::time_point until = at_ ? std::min(*at_, limit) : limit;
  changed_.wait_until(lock, until, [this] { return was_set_; });
}

#endif

}  // namespace tyvo::rt::detail
