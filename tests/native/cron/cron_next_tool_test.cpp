// cron-next --batch: one answer line per input line, whatever the input.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::vector<std::string> run_batch(const std::string& input, const std::string& options) {
  // ctest runs tests as parallel processes: the pid keeps their files apart.
  static int calls = 0;
  const std::string base =
      ::testing::TempDir() + "cron_next_batch_" + std::to_string(::getpid()) + "_" + std::to_string(++calls);
  std::ofstream(base + ".in", std::ios::binary) << input;
  const std::string command =
      std::string{CRON_NEXT_PATH} + " --batch" + options + " < " + base + ".in > " + base + ".out";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::ifstream output(base + ".out", std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  std::remove((base + ".in").c_str());
  std::remove((base + ".out").c_str());
  return lines;
}

TEST(CronNextBatch, AnswersEveryLine) {
  const std::string input =
      "2024-01-01T00:00:00Z\t3\t*/15 * * * *\n"
      "2024-01-01T00:00:00Z\t2\t0 0 1-7\t* +MON\n"  // the pattern keeps its own tabs
      "2024-01-01T00:00:00Z\t1\t0 0 * * X\n"
      "2024-01-01T00:00:00Z\t1\t0 0 30 2 *\n"
      "2024-01-01T00:00:00Z\t3\t0 0 0 1 1 * 2025-2026\n"
      "2024-01-01T00:00:00Z\t2\t@daily\r\n"  // CRLF line end
      "\n"
      "2024-01-01T00:00:00Z 1 * * * * *\n"
      "2024-13-01T00:00:00Z\t1\t* * * * *\n"
      "2024-02-30T00:00:00Z\t1\t* * * * *\n"
      "2024-01-01T00:00:00Z\t0\t* * * * *\n"
      "2024-01-01T00:00:00Z\t-1\t* * * * *\n"
      "2024-01-01T00:00:00Z\t1\t\n";
  const std::vector<std::string> expected = {
      "ok 2024-01-01T00:15:00Z 2024-01-01T00:30:00Z 2024-01-01T00:45:00Z",
      "ok 2024-02-05T00:00:00Z 2024-03-04T00:00:00Z",
      "error Pattern contains illegal characters: CronPattern contains illegal character 'X' in part 'X'",
      "error CronScheduler time search limit exceeded.",
      "error CronScheduler time search limit exceeded.",
      "ok 2024-01-02T00:00:00Z 2024-01-03T00:00:00Z",
      "error malformed line: expected START, COUNT and PATTERN separated by tabs.",
      "error malformed line: expected START, COUNT and PATTERN separated by tabs.",
      "error malformed START: expected a UTC time written YYYY-MM-DDTHH:MM:SSZ.",
      "error malformed START: expected a UTC time written YYYY-MM-DDTHH:MM:SSZ.",
      "error malformed COUNT: expected an integer from 1 to 1000000.",
      "error malformed COUNT: expected an integer from 1 to 1000000.",
      "error CronPattern cannot be an empty string.",
  };
  EXPECT_EQ(run_batch(input, ""), expected);
}

TEST(CronNextBatch, ErrorTextsGoOnPastANul) {
  using namespace std::string_literals;
  const std::string input =
      "2024-01-01T00:00:00Z\t1\t0 0 * * *\0\n"
      "2024-01-01T00:00:00Z\t1\tTZ=Europe/Berlin\0x * * * * *\n"s;
  const std::vector<std::string> expected = {
      "error Pattern contains illegal characters: CronPattern contains illegal character '\0' in part '*\0'"s,
      "error Unknown time zone: Europe/Berlin\0x"s,
  };
  EXPECT_EQ(run_batch(input, ""), expected);
}

TEST(CronNextBatch, LastKeepsOnlyTheFinalOccurrence) {
  const std::string input =
      "2024-01-01T00:00:00Z\t4\t*/15 * * * *\n"
      "2024-01-01T00:00:00Z\t1\t0 0 L * *\n"
      "2024-01-01T00:00:00Z\t3\t0 0 0 1 1 * 2025-2026";  // no final newline
  const std::vector<std::string> expected = {
      "ok 2024-01-01T01:00:00Z",
      "ok 2024-01-31T00:00:00Z",
      "error CronScheduler time search limit exceeded.",
  };
  EXPECT_EQ(run_batch(input, " --last"), expected);
}

}  // namespace
