// Cron engine timings: median and p99 of parse + next_after and of
// next_after alone, for everyday patterns and for nasty ones (including
// searches that fail). Build with -DTYVO_BENCH=ON in Release and run
// ./native_cron from the build directory.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "batch_timing.hpp"
#include "cron/cron.hpp"

namespace {

using namespace std::chrono;
namespace cron = tyvo::cron;

using tyvo::bench::measure;
using tyvo::bench::Summary;

std::vector<sys_seconds> random_starts() {
  std::mt19937_64 random(42);
  const sys_seconds from = sys_days{year{2024} / 1 / 1};
  std::uniform_int_distribution<long long> offset(0, 6LL * 365 * 86400);
  std::vector<sys_seconds> starts(1024);
  for (auto& start : starts) start = from + seconds{offset(random)};
  return starts;
}

volatile long long sink;

void consume(const cron::Occurrence& occurrence) {
  sink = occurrence ? occurrence.time.time_since_epoch().count() : -1;
}

void print(const char* what, const std::string& pattern, const Summary& summary) {
  const std::string shown = pattern.size() <= 34 ? pattern : pattern.substr(0, 31) + "...";
  std::printf("%-20s %-36s median %9.1f ns   p99 %9.1f ns   max %9.1f ns\n", what,
              ("\"" + shown + "\"").c_str(), summary.median_ns, summary.p99_ns, summary.max_ns);
}

}  // namespace

int main() {
  const std::vector<sys_seconds> starts = random_starts();
  const auto start_for = [&](int i) { return starts[static_cast<std::size_t>(i) & 1023]; };

  const std::vector<std::string> everyday = {"*/15 * * * *", "0 0 L * *", "0 0 * * 5#2", "0 9 1-7 * +MON",
                                             "30 */15 * * * *"};
  const std::vector<std::string> nasty = {
      "0 0 30 2 *",              // never: 30 February
      "0 0 0 29 2 * 2101-2103",  // never: no leap year in range
      "0 0 31 4,6,9,11 *",       // never: 30-day months
      "0 0 1 * +MON#5",          // never, in any month: the 1st is no fifth Monday
      "0 0 0 1 1 * 5000",        // far away
      "0 0 29 2 *",              // up to eight years away
      "0 0 13 * +FRI",           // Friday the 13th
      "0 0 29W 2 *",             // weekday near 29 February
      "59 59 23 L 2 +SUNL",      // 29 February that is the last Sunday
      "*/7 */7 */7 1W,15W,L * 1#5,2L,5#3",
      "0 0 0 29 2 * */7",
      "0 0 0 29 2 * */2",  // never: odd years are not leap, and they never cover all kinds of year
      // never, the slowest month there is: 31 nearest weekdays to place in
      // every month, none of them on a last Saturday or Sunday
      "0 0 1W,2W,3W,4W,5W,6W,7W,8W,9W,10W,11W,12W,13W,14W,15W,16W,17W,18W,19W,20W,21W,22W,23W,24W,25W,26W,"
      "27W,28W,29W,30W,31W * +0L,6L",
  };

  std::printf("everyday patterns\n");
  for (const std::string& text : everyday) {
    const cron::Pattern pattern = cron::parse(text);
    print("next_after", text,
          measure(20000, 100, [&](int i) { consume(cron::find_next_after(pattern, start_for(i))); }));
    print("parse + next_after", text, measure(20000, 100, [&](int i) {
            consume(cron::find_next_after(cron::parse(text), start_for(i)));
          }));
  }

  std::printf("nasty patterns\n");
  Summary worst{0, 0, 0};
  for (const std::string& text : nasty) {
    const cron::Pattern pattern = cron::parse(text);
    const Summary alone =
        measure(2000, 5, [&](int i) { consume(cron::find_next_after(pattern, start_for(i))); });
    const Summary parsed =
        measure(2000, 5, [&](int i) { consume(cron::find_next_after(cron::parse(text), start_for(i))); });
    print("next_after", text, alone);
    print("parse + next_after", text, parsed);
    for (const Summary& summary : {alone, parsed}) {
      worst.median_ns = std::max(worst.median_ns, summary.median_ns);
      worst.p99_ns = std::max(worst.p99_ns, summary.p99_ns);
      worst.max_ns = std::max(worst.max_ns, summary.max_ns);
    }
  }
  // The throwing form, as the scheduler would meet a failing search.
  const cron::Pattern never = cron::parse("0 0 1 * +MON#5");
  const Summary throwing = measure(2000, 5, [&](int i) {
    try {
      sink = cron::next_after(never, start_for(i)).time_since_epoch().count();
    } catch (const cron::Error&) {
      sink = -1;
    }
  });
  print("next_after (throws)", "0 0 1 * +MON#5", throwing);
  // A single batch's maximum mostly measures the machine (preemption), so
  // the medians and p99s are the figures to watch.
  std::printf("worst over nasty patterns: median %.1f ns, p99 %.1f ns, max %.1f ns\n", worst.median_ns,
              worst.p99_ns, worst.max_ns);
}
