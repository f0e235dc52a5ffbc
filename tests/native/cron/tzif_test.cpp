// The zone-file reader, the footer rule and the zone library, on files built
// here byte by byte (well formed, truncated and hostile) and on the system's.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cron/cron.hpp"
#include "cron/posix_tz.hpp"
#include "cron/tzif.hpp"
#include "cron/zone.hpp"
#include "cron/zone_library.hpp"
#include "utc_text.hpp"

namespace tyvo::cron {
namespace {

using testing::utc;

std::int64_t at(std::string_view text) { return utc(text).time_since_epoch().count(); }

// A TZif file: version 1 when `version` is '\0', else a v1 block holding the
// same data and then the 64-bit block and the footer.
struct TzifBuilder {
  char version = '2';
  std::vector<std::pair<std::int64_t, std::uint8_t>> transitions;
  std::vector<std::pair<std::int32_t, bool>> types{{0, false}};
  std::string footer;

  static void put(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }

  void block(std::string& out, int time_size) const {
    out += "TZif";
    out += version;
    out += std::string(15, '\0');
    for (const std::uint64_t count : {std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0},
                                      std::uint64_t{transitions.size()}, std::uint64_t{types.size()},
                                      std::uint64_t{4}}) {
      put(out, count, 4);
    }
    for (const auto& transition : transitions) put(out, static_cast<std::uint64_t>(transition.first), time_size);
    for (const auto& transition : transitions) put(out, transition.second, 1);
    for (const auto& type : types) {
      put(out, static_cast<std::uint32_t>(type.first), 4);
      put(out, type.second ? 1 : 0, 1);
      put(out, 0, 1);
    }
    out += std::string("ABC\0", 4);
  }

  std::string bytes() const {
    std::string out;
    block(out, 4);
    if (version == '\0') return out;
    block(out, 8);
    return out + "\n" + footer + "\n";
  }
};

TEST(Tzif, ReadsTransitionsTypesAndFooter) {
  TzifBuilder file;
  file.types = {{3600, false}, {7200, true}};
  file.transitions = {{at("2026-03-29T01:00:00Z"), 1}, {at("2026-10-25T01:00:00Z"), 0}};
  file.footer = "CET-1CEST,M3.5.0,M10.5.0/3";
  const auto data = read_tzif(file.bytes());
  ASSERT_TRUE(data);
  ASSERT_EQ(data->transitions.size(), 2u);
  EXPECT_EQ(data->transitions[1].at, at("2026-10-25T01:00:00Z"));
  EXPECT_EQ(data->types[1].utc_offset, 7200);
  EXPECT_TRUE(data->types[1].is_dst);
  EXPECT_EQ(data->footer, "CET-1CEST,M3.5.0,M10.5.0/3");

  file.version = '\0';  // version 1: 32-bit times, no footer
  const auto v1 = read_tzif(file.bytes());
  ASSERT_TRUE(v1);
  EXPECT_EQ(v1->transitions.size(), 2u);
  EXPECT_TRUE(v1->footer.empty());
}

TEST(Tzif, RefusesEveryTruncationAndHostileField) {
  TzifBuilder file;
  file.types = {{3600, false}, {7200, true}};
  file.transitions = {{at("2026-03-29T01:00:00Z"), 1}, {at("2026-10-25T01:00:00Z"), 0}};
  file.footer = "CET-1CEST,M3.5.0,M10.5.0/3";
  const std::string whole = file.bytes();
  for (std::size_t length = 0; length < whole.size(); ++length) {
    EXPECT_FALSE(read_tzif(whole.substr(0, length))) << "cut at " << length;
  }

  const auto refused = [](TzifBuilder broken) { return !read_tzif(broken.bytes()); };
  TzifBuilder bad = file;
  bad.transitions[1].second = 2;  // no such type
  EXPECT_TRUE(refused(bad));
  bad = file;
  bad.transitions[1].first = bad.transitions[0].first;  // not ascending
  EXPECT_TRUE(refused(bad));
  bad = file;
  bad.types[0].first = 100'000;  // beyond the format's offsets
  EXPECT_TRUE(refused(bad));
  bad = file;
  bad.types.clear();
  EXPECT_TRUE(refused(bad));

  // Counts far beyond the file's size are caught before anything is allocated.
  std::string huge = whole;
  huge[20 + 12] = '\x7F';  // timecnt of the first header
  EXPECT_FALSE(read_tzif(huge));
  std::string magic = whole;
  magic[0] = 'X';
  EXPECT_FALSE(read_tzif(magic));
  std::string unterminated = whole;
  unterminated.pop_back();
  EXPECT_FALSE(read_tzif(unterminated));
}

TEST(PosixTzRule, OffsetsAndTheFormsOfDates) {
  struct Case {
    std::string rule;
    int year;
    std::string start, end;  // UTC instants of the start and the end of daylight saving time
    std::int32_t standard, daylight;
  };
  const std::vector<Case> cases = {
      {"EST5EDT,M3.2.0,M11.1.0", 2026, "2026-03-08T07:00:00Z", "2026-11-01T06:00:00Z", -18000, -14400},
      // Southern: the end comes first in the year.
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 2026, "2026-10-03T16:00:00Z", "2026-04-04T16:00:00Z", 36000, 39600},
      // Negative daylight saving (Dublin): "standard" IST is the summer time.
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 2026, "2026-10-25T01:00:00Z", "2026-03-29T01:00:00Z", 3600, 0},
      // Times past 24 h and below zero (RFC 8536 extensions).
      {"EET-2EEST,M3.4.4/50,M10.4.4/50", 2026, "2026-03-28T00:00:00Z", "2026-10-23T23:00:00Z", 7200, 10800},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 2026, "2026-03-29T01:00:00Z", "2026-10-25T01:00:00Z", -7200, -3600},
      {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", 2026, "2026-09-26T14:00:00Z", "2026-04-04T14:00:00Z",
       45900, 49500},
      // Jn never counts 29 February, n does (2024 is a leap year).
      {"AAA3BBB,J60/0,J300/0", 2024, "2024-03-01T03:00:00Z", "2024-10-27T02:00:00Z", -10800, -7200},
      {"AAA3BBB,59/0,299/0", 2024, "2024-02-29T03:00:00Z", "2024-10-26T02:00:00Z", -10800, -7200},
      {"AAA3BBB,J60/0,J300/0", 2023, "2023-03-01T03:00:00Z", "2023-10-27T02:00:00Z", -10800, -7200},
      {"AAA3BBB4,M2.5.0/167,M11.5.6/-167", 2026, "2026-03-01T02:00:00Z", "2026-11-21T05:00:00Z", -10800, -14400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    const auto rule = PosixTzRule::parse(c.rule);
    ASSERT_TRUE(rule);
    ASSERT_TRUE(rule->has_daylight_saving());
    EXPECT_EQ(rule->standard_offset(), c.standard);
    const auto changes = rule->changes_in(c.year);
    EXPECT_EQ(changes[0].at, at(c.start));
    EXPECT_EQ(changes[0].offset, c.daylight);
    EXPECT_EQ(changes[1].at, at(c.end));
    EXPECT_EQ(changes[1].offset, c.standard);
  }
  for (const auto& [text, offset] : std::vector<std::pair<std::string, std::int32_t>>{
           {"<+0545>-5:45", 20700}, {"<-0930>9:30", -34200}, {"UTC0", 0}, {"UTC", 0}, {"<+14>-14", 50400}}) {
    const auto rule = PosixTzRule::parse(text);
    ASSERT_TRUE(rule) << text;
    EXPECT_FALSE(rule->has_daylight_saving());
    EXPECT_EQ(rule->standard_offset(), offset) << text;
  }
  for (const char* bad : {"", "5", "<>5", "<+05", "EST5EDT", "EST5EDT,M3.2.0", "EST5EDT,M13.2.0,M11.1.0",
                          "EST5EDT,M3.6.0,M11.1.0", "EST5EDT,M3.2.7,M11.1.0", "EST5EDT,J0,J365", "EST5EDT,366,J365",
                          "EST25", "EST5:60", "EST5EDT,M3.2.0/168,M11.1.0", "EST5EDT,M3.2.0,M11.1.0x", "EST5 EDT"}) {
    EXPECT_FALSE(PosixTzRule::parse(bad)) << bad;
  }
}

TEST(Zone, FooterOnlyZonesAndTheBoundaryWithTheTable) {
  TzifBuilder southern;  // no transitions at all: the rule governs everywhere
  southern.types = {{36000, false}};
  southern.footer = "AEST-10AEDT,M10.1.0,M4.1.0/3";
  const auto zone = Zone::from_tzif("Test/South", *read_tzif(southern.bytes()));
  ASSERT_TRUE(zone);
  EXPECT_EQ(zone->offset_at(at("2026-01-15T00:00:00Z")), 39600);
  EXPECT_EQ(zone->offset_at(at("2026-07-01T00:00:00Z")), 36000);
  EXPECT_EQ(zone->offset_at(at("0001-01-01T00:00:00Z")), 39600);
  EXPECT_EQ(zone->offset_at(at("4999-07-01T00:00:00Z")), 36000);
  EXPECT_EQ(zone->period_end(zone->period_index(at("2026-07-01T00:00:00Z"))), at("2026-10-03T16:00:00Z"));

  TzifBuilder table;  // a table ending in summer, then the rule
  table.types = {{3600, false}, {7200, true}};
  table.transitions = {{at("2037-03-29T01:00:00Z"), 1}};
  table.footer = "CET-1CEST,M3.5.0,M10.5.0/3";
  const auto berlin_like = Zone::from_tzif("Test/Table", *read_tzif(table.bytes()));
  ASSERT_TRUE(berlin_like);
  EXPECT_EQ(berlin_like->offset_at(at("2037-03-29T00:59:59Z")), 3600);
  EXPECT_EQ(berlin_like->offset_at(at("2037-06-01T00:00:00Z")), 7200);
  EXPECT_EQ(berlin_like->offset_at(at("2037-10-25T01:00:00Z")), 3600);
  EXPECT_EQ(berlin_like->offset_at(at("3000-07-01T00:00:00Z")), 7200);

  TzifBuilder no_rule;  // without a footer the last transition's type stays
  no_rule.types = {{3600, false}, {7200, true}};
  no_rule.transitions = {{at("2037-03-29T01:00:00Z"), 1}};
  no_rule.footer = "";
  EXPECT_EQ(Zone::from_tzif("Test/NoRule", *read_tzif(no_rule.bytes()))->offset_at(at("2100-01-01T00:00:00Z")),
            7200);
  TzifBuilder broken_rule = table;
  broken_rule.footer = "CET-1CEST";
  EXPECT_FALSE(Zone::from_tzif("Test/Broken", *read_tzif(broken_rule.bytes())));

  // Consecutive periods always differ, even where the table repeats an offset.
  const auto system = find_zone("Europe/Berlin");
  ASSERT_TRUE(system);
  for (std::size_t i = 1; i < system->period_count(); ++i) {
    ASSERT_NE(system->period_offset(i), system->period_offset(i - 1)) << i;
  }
}

class ZoneLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = zone_search_path();
    directory_ = std::filesystem::path(::testing::TempDir()) /
                 ("zones_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_ / "Test");
  }
  void TearDown() override {
    set_zone_search_path(saved_);
    std::filesystem::remove_all(directory_);
  }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(directory_ / name, std::ios::binary) << bytes;
  }
  std::filesystem::path directory_;
  std::vector<std::string> saved_;
};

TEST_F(ZoneLibrary, FirstFileFoundDecidesAndLoadedZonesStay) {
  TzifBuilder plus_five;
  plus_five.types = {{18000, false}};
  plus_five.footer = "<+05>-5";
  write("Test/Five", plus_five.bytes());
  write("Test/Corrupt", plus_five.bytes().substr(0, 30));
  set_zone_search_path({"", "relative/ignored", directory_.string(), "/usr/share/zoneinfo"});
  const auto five = find_zone("Test/Five");
  ASSERT_TRUE(five);
  EXPECT_EQ(five->offset_at(0), 18000);
  EXPECT_EQ(find_zone("Test/Five"), five);  // loaded once, then kept
  EXPECT_FALSE(find_zone("Test/Corrupt"));
  EXPECT_FALSE(find_zone("Test"));  // a directory
  EXPECT_TRUE(find_zone("Asia/Kathmandu"));  // from the next directory
  set_zone_search_path({});
  EXPECT_EQ(find_zone("Test/Five"), five);  // a loaded zone outlives a change of path
  EXPECT_FALSE(find_zone("Test/NeverLoaded"));
}

TEST_F(ZoneLibrary, ConcurrentLookupsShareOneZone) {
  set_zone_search_path({"/usr/share/zoneinfo"});
  std::vector<std::thread> threads;
  std::vector<const Zone*> seen(8);
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < 200; ++i) {
        const Pattern pattern = parse("TZ=America/St_Johns 0 30 2 * * *");
        seen[t] = pattern.zone();
        (void)find_next_after(pattern, std::chrono::sys_seconds{std::chrono::seconds{i * 86'400}});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const Zone* zone : seen) EXPECT_EQ(zone, seen[0]);
}

}  // namespace
}  // namespace tyvo::cron
