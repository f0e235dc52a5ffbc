// Every refusal the parser can give, with its exact display text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cron/cron.hpp"

namespace tyvo::cron {
namespace {

struct Refusal {
  std::string pattern;
  Error::Kind kind;
  std::string text;
};

using Kind = Error::Kind;

void expect_refusals(const std::vector<Refusal>& refusals) {
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE("pattern \"" + refusal.pattern + "\"");
    try {
      parse(refusal.pattern);
      ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
      EXPECT_EQ(error.text(), refusal.text);
      EXPECT_STREQ(error.what(), refusal.text.c_str());
      EXPECT_EQ(error.kind(), refusal.kind);
    }
  }
}

const std::string kEmpty = "CronPattern cannot be an empty string.";
const std::string kFieldCount = "Invalid pattern: Pattern must have between 5 and 7 fields.";

std::string illegal(const std::string& character, const std::string& part) {
  return "Pattern contains illegal characters: CronPattern contains illegal character '" + character +
         "' in part '" + part + "'";
}

Refusal component(std::string pattern, const std::string& reason) {
  return {std::move(pattern), Kind::ComponentError, "Component error: " + reason};
}

TEST(ParseErrors, EmptyPattern) {
  expect_refusals({
      {"", Kind::EmptyPattern, kEmpty},
      {"   ", Kind::EmptyPattern, kEmpty},
      {"\t\n \r", Kind::EmptyPattern, kEmpty},
      {"\xC2\xA0", Kind::EmptyPattern, kEmpty},  // a lone no-break space
  });
}

TEST(ParseErrors, FieldCount) {
  expect_refusals({
      {"* * * *", Kind::InvalidPattern, kFieldCount},
      {"0 0 0 * * * * *", Kind::InvalidPattern, kFieldCount},
      {"@midnight", Kind::InvalidPattern, kFieldCount},
      {"@daily *", Kind::InvalidPattern, kFieldCount},
      {"@ daily", Kind::InvalidPattern, kFieldCount},
      {"@monthly2", Kind::InvalidPattern, kFieldCount},
      {"*", Kind::InvalidPattern, kFieldCount},
  });
}

TEST(ParseErrors, IllegalCharacters) {
  expect_refusals({
      {"0 0 * * X", Kind::IllegalCharacters, illegal("X", "X")},
      {"0 0 * * x", Kind::IllegalCharacters, illegal("X", "X")},
      // Names are replaced first, so the leftovers of a long name show.
      {"0 0 * * MONDAY", Kind::IllegalCharacters, illegal("D", "1DAY")},
      {"0 0 1 MARCH *", Kind::IllegalCharacters, illegal("C", "3CH")},
      {"0 0 ? ? ?", Kind::IllegalCharacters, illegal("?", "?")},
      {"0 0 * * +1+2", Kind::IllegalCharacters, illegal("+", "1+2")},
      {"0 0 * * ++1", Kind::IllegalCharacters, illegal("+", "+1")},
      {"0 +0 * * *", Kind::IllegalCharacters, illegal("+", "+0")},
      {"0 0 15W * 1W", Kind::IllegalCharacters, illegal("W", "1W")},
      {"0 0 1#2 * *", Kind::IllegalCharacters, illegal("#", "1#2")},
      {"0 L * * *", Kind::IllegalCharacters, illegal("L", "L")},
      {"0 0 * L *", Kind::IllegalCharacters, illegal("L", "L")},
      {"0 0 0 * * * L", Kind::IllegalCharacters, illegal("L", "L")},
      {"0 0 * * 1.5", Kind::IllegalCharacters, illegal(".", "1.5")},
      {"0 0 * * \xC3\xA9", Kind::IllegalCharacters, illegal("\xC3\xA9", "\xC3\xA9")},
      {"0 0 * * 1\xFF", Kind::IllegalCharacters, illegal("\xEF\xBF\xBD", "1\xEF\xBF\xBD")},
      // The alphabet of every field is checked before any field's values.
      {"60 X * * *", Kind::IllegalCharacters, illegal("X", "X")},
      {"X 60 * * * *", Kind::IllegalCharacters, illegal("X", "X")},
      {"@daily2 * * * *", Kind::IllegalCharacters, illegal("@", "@DAILY2")},
  });
}

TEST(ParseErrors, SingleValues) {
  expect_refusals({
      component("0 0 1,,2 * *", "Invalid number."),
      component("0 0 5* * *", "Invalid number."),
      component("0 , * * *", "Invalid number."),
      component("0 0 * * +", "Invalid number."),
      component("60 * * * * *", "Number out of bounds."),
      component("0 60 * * * *", "Number out of bounds."),
      component("0 24 * * *", "Number out of bounds."),
      component("0 0 0 * *", "Number out of bounds."),
      component("0 0 32 * *", "Number out of bounds."),
      component("0 0 * 0 *", "Number out of bounds."),
      component("0 0 * 13 *", "Number out of bounds."),
      component("0 0 * * 8", "Number out of bounds."),
      component("0 0 * * DEC", "Number out of bounds."),
      component("0 0 0 1 1 * 0", "Number out of bounds."),
      component("0 0 0 1 1 * 5001", "Number out of bounds."),
      component("99999999999999999999 * * * *", "Number out of bounds."),
  });
}

// "*" (and "?", which becomes "*" in the day fields) stands only as a whole
// field; as one part of a list it is a malformed part like any other.
TEST(ParseErrors, StarInsideAList) {
  expect_refusals({
      component("0 0 1,*,5 * *", "Invalid number."),
      component("*,5 * * * *", "Invalid number."),
      component("0 5,* * * *", "Invalid number."),
      component("0 0 * 1,* *", "Invalid number."),
      component("0 0 * * *,1", "Invalid number."),
      component("0 0 ?,1 * *", "Invalid number."),
      component("0 0 * * 1,?", "Invalid number."),
      component("0 0 0 1 1 * 2030,*", "Invalid number."),
      component("TZ=UTC 0 0 *,L * *", "Invalid number."),
  });
  // Whole-field forms and steps from "*" stay as they were.
  for (const char* accepted : {"* * * * *", "0 0 ? * ?", "*/5,7 * * * *", "0 0 1 * ?", "0 0 L,*/10 * *"}) {
    EXPECT_NO_THROW(parse(accepted)) << accepted;
  }
}

TEST(ParseErrors, Ranges) {
  expect_refusals({
      component("0 5-1 * * *", "Range out of bounds."),
      component("0 0 * * 0-8", "Range out of bounds."),
      component("0 0 1 NOV-FEB *", "Range out of bounds."),
      component("0 0 * * SAT-MON", "Range out of bounds."),
      component("0 50-60 * * *", "Range out of bounds."),
      component("0 1-2-3 * * *", "Invalid range syntax."),
      component("0 -5 * * *", "Invalid start of range."),
      component("0 *-5 * * *", "Invalid start of range."),
      component("0 - * * *", "Invalid start of range."),
      component("0 5- * * *", "Invalid end of range."),
      component("0 5-* * * *", "Invalid end of range."),
  });
}

TEST(ParseErrors, Steps) {
  expect_refusals({
      component("*/0 * * * *", "Step cannot be zero."),
      component("0 0 1-5/0 * *", "Step cannot be zero."),
      component("0 70/0 * * *", "Step cannot be zero."),  // the step is read first
      component("*/ * * * *", "Invalid step."),
      component("0 */* * * *", "Invalid step."),
      component("0 / * * *", "Invalid step."),
      component("0 /5 * * *", "Invalid start."),
      component("0 5*/5 * * *", "Invalid start."),
      component("0 1/2/3 * * *", "Invalid stepped range syntax."),
      component("0 1-2-3/5 * * *", "Invalid range syntax in stepping."),
      component("0 -5/2 * * *", "Invalid range start."),
      component("0 1-/2 * * *", "Invalid range end."),
      component("0 70/5 * * *", "Range is out of bounds in stepping."),
      component("0 5-1/2 * * *", "Range is out of bounds in stepping."),
      component("0 0 0/2 * *", "Range is out of bounds in stepping."),
      component("0 0 * * 0-8/2", "Range is out of bounds in stepping."),
      component("0 0 0 1 1 * 0/100", "Range is out of bounds in stepping."),
  });
}

TEST(ParseErrors, LastAndNearestWeekdayInDayOfMonth) {
  expect_refusals({
      component("0 0 5L * *", "Nth specifier # not allowed in the current field."),
      component("0 0 LL * *", "Nth specifier # not allowed in the current field."),
      component("0 0 WL * *", "Nth specifier # not allowed in the current field."),
      component("0 0 L5 * *", "L not allowed in the current field."),
      component("0 0 LW * *", "L not allowed in the current field."),
      component("0 0 0W * *", "Day for closest weekday out of bounds."),
      component("0 0 32W * *", "Day for closest weekday out of bounds."),
      component("0 0 W * *", "Invalid day for closest weekday."),
      component("0 0 W15 * *", "Invalid day for closest weekday."),
      component("0 0 1WW * *", "Invalid day for closest weekday."),
      component("0 0 1-5W * *", "Invalid day for closest weekday."),
      component("0 0 */2W * *", "Invalid day for closest weekday."),
  });
}

TEST(ParseErrors, NthAndLastWeekdayInDayOfWeek) {
  expect_refusals({
      component("0 0 * * 5#", "Invalid nth specifier."),
      component("0 0 * * 5#1#2", "Invalid nth specifier."),
      component("0 0 * * 5##1", "Invalid nth specifier."),
      component("0 0 * * 5#*", "Invalid nth specifier."),
      component("0 0 * * 5#0", "Nth specifier out of bounds."),
      component("0 0 * * 5#6", "Nth specifier out of bounds."),
      component("0 0 * * 8#9", "Nth specifier out of bounds."),  // the specifier is read first
      component("0 0 * * #2", "Invalid number."),
      component("0 0 * * 1-5#2", "Invalid number."),
      component("0 0 * * 8#2", "Number out of bounds."),
      component("0 0 * * 8L", "Number out of bounds."),
      component("0 0 * * LL", "Invalid number."),
      component("0 0 * * L5", "L not allowed in the current field."),
      component("0 0 * * L#2", "L not allowed in the current field."),
  });
}

TEST(ParseErrors, FirstFailingFieldWins) {
  expect_refusals({
      component("0 1-2-3 5- * *", "Invalid range syntax."),
      component("0 0 5- 0 */0", "Invalid end of range."),
      component("0 0 0 * * 8 0-", "Number out of bounds."),
  });
}

}  // namespace
}  // namespace tyvo::cron
