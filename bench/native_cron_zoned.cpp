// Zoned cron searches against UTC ones: median and p99 of next_after (and of
// parse + next_after) for the same patterns without a prefix, in zones with
// daylight saving time, from random starts and from starts near clock
// changes. Build with -DTYVO_BENCH=ON in Release and run
// ./native_cron_zoned from the build directory (zones from /usr/share/zoneinfo).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "batch_timing.hpp"
#include "cron/cron.hpp"
#include "cron/zone_library.hpp"

namespace {

using namespace std::chrono;
namespace cron = tyvo::cron;

using tyvo::bench::measure;
using tyvo::bench::Summary;

volatile long long sink;

void consume(const cron::Occurrence& occurrence) {
  sink = occurrence ? occurrence.time.time_since_epoch().count() : -1;
}

// Starts spread over 2024-2030, or within a day of one of Berlin's clock changes then.
std::vector<sys_seconds> starts(bool near_changes) {
  std::mt19937_64 random(42);
  std::vector<sys_seconds> result(1024);
  const auto berlin = cron::find_zone("Europe/Berlin");
  const std::int64_t from = sys_seconds{sys_days{year{2024} / 1 / 1}}.time_since_epoch().count();
  const std::size_t first = berlin->period_index(from);
  for (auto& start : result) {
    if (near_changes) {
      const std::size_t period = first + random() % 14;
      start = sys_seconds{seconds{berlin->period_begin(period) + static_cast<std::int64_t>(random() % 172'800) - 86'400}};
    } else {
      start = sys_seconds{seconds{from + static_cast<std::int64_t>(random() % (6ULL * 365 * 86'400))}};
    }
  }
  return result;
}

}  // namespace

int main() {
  const std::vector<std::string> patterns = {"*/15 * * * *", "30 2 * * *", "0 9 * * 1-5", "0 0 L * *",
                                             "30 */15 * * * *", "0 0 0 1 1 * 5000", "0 0 30 2 *"};
  const std::vector<std::string> zones = {"", "Europe/Berlin", "Australia/Lord_Howe", "America/St_Johns"};
  for (const bool near_changes : {false, true}) {
    const std::vector<sys_seconds> from = starts(near_changes);
    const auto start_for = [&](int i) { return from[static_cast<std::size_t>(i) & 1023]; };
    std::printf("starts %s\n", near_changes ? "within a day of a clock change" : "spread over 2024-2030");
    std::printf("%-36s %-20s %22s %26s\n", "pattern", "zone", "next_after med / p99", "parse+next_after med / p99");
    for (const std::string& text : patterns) {
      for (const std::string& zone : zones) {
        const std::string full = zone.empty() ? text : "CRON_TZ=" + zone + " " + text;
        const cron::Pattern pattern = cron::parse(full);
        const Summary alone =
            measure(5000, 100, [&](int i) { consume(cron::find_next_after(pattern, start_for(i))); });
        const Summary parsed = measure(5000, 20, [&](int i) {
          consume(cron::find_next_after(cron::parse(full), start_for(i)));
        });
        std::printf("%-36s %-20s %9.1f / %7.1f ns %11.1f / %7.1f ns\n", ("\"" + text + "\"").c_str(),
                    zone.empty() ? "(UTC)" : zone.c_str(), alone.median_ns, alone.p99_ns, parsed.median_ns,
                    parsed.p99_ns);
      }
    }
  }
}
