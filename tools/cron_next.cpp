// cron-next: print the next occurrences of a cron pattern, in UTC.
//
//   cron-next [--local] PATTERN [START [COUNT]]
//       The next COUNT (default 5) occurrences strictly after START (default
//       now), one per line. START is YYYY-MM-DDTHH:MM:SSZ. With --local each
//       line also shows the instant in the pattern's zone (CRON_TZ=... or
//       TZ=..., UTC without one) with its offset: "...T01:00:00Z ...T03:00:00+02:00".
//   cron-next --batch [--last]
//       Reads START<TAB>COUNT<TAB>PATTERN lines from stdin and answers each
//       with one line: "ok T1 ... Tn" (only Tn with --last) or "error TEXT".
//       A carriage return ending a line is dropped, so files with CRLF line
//       ends work; the pattern parser trims trailing white space anyway.
//
// Exit status: 0 on success, 2 for bad usage, a refused pattern or a failed
// search (the error's display text goes to stderr).
//
// Zones are read from the directories Python's zoneinfo searches: those of
// PYTHONTZPATH when it is set (absolute entries only), else the TZPATH of the
// Python that built this program; then the tzdata package's files in the
// site-packages that lie beside the directory holding this program.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "cron/cron.hpp"
#include "cron/utc_text.hpp"
#include "cron/zone_library.hpp"

namespace {

using namespace std::chrono;
namespace cron = tyvo::cron;

constexpr long max_count = 1'000'000;
constexpr std::string_view usage =
    "usage: cron-next [--local] PATTERN [START [COUNT]]\n"
    "       cron-next --batch [--last]\n"
    "START is YYYY-MM-DDTHH:MM:SSZ (UTC, default now); COUNT is 1 to 1000000 (default 5).\n"
    "PATTERN may begin with CRON_TZ=<zone> or TZ=<zone>; --local also prints each time in that zone.\n";

// The directory holding this program, from the kernel's own record of it.
std::string own_directory() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/'));
}

std::vector<std::string> zone_directories() {
  std::vector<std::string> directories;
  const char* from_environment = std::getenv("PYTHONTZPATH");
  const std::string_view tzpath = from_environment != nullptr ? from_environment : TYVO_DEFAULT_TZPATH;
  for (std::size_t start = 0; start <= tzpath.size();) {
    const std::size_t end = std::min(tzpath.find(':', start), tzpath.size());
    const std::string_view entry = tzpath.substr(start, end - start);
    if (entry.starts_with('/')) directories.emplace_back(entry);
    start = end + 1;
  }
  const std::string_view site_from_scripts = TYVO_SITE_FROM_SCRIPTS;
  if (!site_from_scripts.empty()) {
    const std::string directory = own_directory();
    if (!directory.empty()) directories.push_back(directory + "/" + std::string{site_from_scripts} + "/tzdata/zoneinfo");
  }
  return directories;
}

std::optional<long> parse_count(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (value < 1 || value > max_count) return std::nullopt;
  return value;
}

// One answer line (without its newline) for one input line.
std::string answer_batch_line(std::string_view line, bool last_only) {
  const std::size_t first_tab = line.find('\t');
  const std::size_t second_tab =
      first_tab == std::string_view::npos ? first_tab : line.find('\t', first_tab + 1);
  if (second_tab == std::string_view::npos) {
    return "error malformed line: expected START, COUNT and PATTERN separated by tabs.";
  }
  const auto start = cron::parse_utc_text(line.substr(0, first_tab));
  if (!start) return "error malformed START: expected a UTC time written YYYY-MM-DDTHH:MM:SSZ.";
  const auto count = parse_count(line.substr(first_tab + 1, second_tab - first_tab - 1));
  if (!count) return "error malformed COUNT: expected an integer from 1 to 1000000.";

  try {
    const cron::Pattern pattern = cron::parse(line.substr(second_tab + 1));
    std::string answer = "ok";
    sys_seconds after = *start;
    for (long i = 0; i < *count; ++i) {
      const cron::Occurrence next = cron::find_next_after(pattern, after);
      if (!next) return "error " + std::string{cron::Error(*next.failure).text()};
      after = next.time;
      if (!last_only) answer += ' ' + cron::format_utc_text(after);
    }
    if (last_only) answer += ' ' + cron::format_utc_text(after);
    return answer;
  } catch (const cron::Error& error) {
    return "error " + std::string{error.text()};
  }
}

int run_batch(bool last_only) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::cout << answer_batch_line(line, last_only) << '\n' << std::flush;
  }
  return 0;
}

int fail(std::string_view message) {
  std::cerr << message;
  if (!message.ends_with('\n')) std::cerr << '\n';
  return 2;
}

int run_single(const std::vector<std::string_view>& arguments, bool local) {
  const std::string_view pattern_text = arguments[0];
  sys_seconds start = floor<seconds>(system_clock::now());
  long count = 5;
  if (arguments.size() > 1) {
    const auto parsed = cron::parse_utc_text(arguments[1]);
    if (!parsed) return fail("cron-next: START must be a UTC time written YYYY-MM-DDTHH:MM:SSZ");
    start = *parsed;
  }
  if (arguments.size() > 2) {
    const auto parsed = parse_count(arguments[2]);
    if (!parsed) return fail("cron-next: COUNT must be an integer from 1 to 1000000");
    count = *parsed;
  }
  try {
    const cron::Pattern pattern = cron::parse(pattern_text);
    for (long i = 0; i < count; ++i) {
      start = cron::next_after(pattern, start);
      std::cout << cron::format_utc_text(start);
      if (local) {
        const std::int32_t offset = pattern.zone() ? pattern.zone()->offset_at(start.time_since_epoch().count()) : 0;
        std::cout << ' ' << cron::format_local_text(start, offset);
      }
      std::cout << '\n';
    }
  } catch (const cron::Error& error) {
    std::cout << std::flush;
    return fail(error.text());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  bool batch = false, last = false, local = false;
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::cout << usage;
      return 0;
    }
    if (argument == "--batch") {
      batch = true;
    } else if (argument == "--last") {
      last = true;
    } else if (argument == "--local") {
      local = true;
    } else {
      arguments.push_back(argument);
    }
  }
  cron::set_zone_search_path(zone_directories());
  if (batch || last) {
    if (!batch || local || !arguments.empty()) return fail(usage);
    return run_batch(last);
  }
  if (arguments.empty() || arguments.size() > 3) return fail(usage);
  return run_single(arguments, local);
}
