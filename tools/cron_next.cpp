// cron-next: print the next occurrences of a cron pattern, in UTC.
//
//   cron-next PATTERN [START [COUNT]]
//       The next COUNT (default 5) occurrences strictly after START (default
//       now), one per line. START is YYYY-MM-DDTHH:MM:SSZ.
//   cron-next --batch [--last]
//       Reads START<TAB>COUNT<TAB>PATTERN lines from stdin and answers each
//       with one line: "ok T1 ... Tn" (only Tn with --last) or "error TEXT".
//       A carriage return ending a line is dropped, so files with CRLF line
//       ends work; the pattern parser trims trailing white space anyway.
//
// Exit status: 0 on success, 2 for bad usage, a refused pattern or a failed
// search (the error's display text goes to stderr).

#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "cron/cron.hpp"
#include "cron/utc_text.hpp"

namespace {

using namespace std::chrono;
namespace cron = tyvo::cron;

constexpr long max_count = 1'000'000;
constexpr std::string_view usage =
    "usage: cron-next PATTERN [START [COUNT]]\n"
    "       cron-next --batch [--last]\n"
    "START is YYYY-MM-DDTHH:MM:SSZ (UTC, default now); COUNT is 1 to 1000000 (default 5).\n";

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

int run_single(int argc, char** argv) {
  const std::string_view pattern_text = argv[1];
  sys_seconds start = floor<seconds>(system_clock::now());
  long count = 5;
  if (argc > 2) {
    const auto parsed = cron::parse_utc_text(argv[2]);
    if (!parsed) return fail("cron-next: START must be a UTC time written YYYY-MM-DDTHH:MM:SSZ");
    start = *parsed;
  }
  if (argc > 3) {
    const auto parsed = parse_count(argv[3]);
    if (!parsed) return fail("cron-next: COUNT must be an integer from 1 to 1000000");
    count = *parsed;
  }
  try {
    const cron::Pattern pattern = cron::parse(pattern_text);
    for (long i = 0; i < count; ++i) {
      start = cron::next_after(pattern, start);
      std::cout << cron::format_utc_text(start) << '\n';
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
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::cout << usage;
    return 0;
  }
  if (first == "--batch" || first == "--last") {
    const std::string_view second = argc > 2 ? argv[2] : "";
    const bool pair =
        (first == "--batch" && second == "--last") || (first == "--last" && second == "--batch");
    if (argc == 2 && first == "--batch") return run_batch(false);
    if (argc == 3 && pair) return run_batch(true);
    return fail(usage);
  }
  if (argc < 2 || argc > 4) return fail(usage);
  return run_single(argc, argv);
}
