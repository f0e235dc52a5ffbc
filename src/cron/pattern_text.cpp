#include "cron/pattern_text.hpp"

#include <algorithm>
#include <cstdint>

#include "cron/error.hpp"

namespace tyvo::cron {

namespace {

std::size_t white_space_length_unchecked(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{0};
  };
  const std::uint8_t b0 = byte(at);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 == 0xC2 && (byte(at + 1) == 0x85 || byte(at + 1) == 0xA0)) return 2;
  if (b0 == 0xE1 && byte(at + 1) == 0x9A && byte(at + 2) == 0x80) return 3;  // U+1680
  if (b0 == 0xE2 && byte(at + 1) == 0x80) {
    const std::uint8_t b2 = byte(at + 2);
    if (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return 3;  // U+2000..200A, 2028, 2029, 202F
    return 0;
  }
  if (b0 == 0xE2 && byte(at + 1) == 0x81 && byte(at + 2) == 0x9F) return 3;  // U+205F
  if (b0 == 0xE3 && byte(at + 1) == 0x80 && byte(at + 2) == 0x80) return 3;  // U+3000
  return 0;
}

}  // namespace

// A pasted no-break space separates fields like a blank does. A sequence cut
// short by the end of the text is no white space (E2 80 alone is not U+2000).
std::size_t white_space_length(std::string_view text, std::size_t at) noexcept {
  const std::size_t length = white_space_length_unchecked(text, at);
  return length <= text.size() - std::min(at, text.size()) ? length : 0;
}

namespace {

// Runs of non-white-space, in order. Splitting first is the same as trimming
// then splitting, and lets the empty check and the field count share one pass.
// Only as many tokens as a pattern can have are kept; `count` counts them all.
struct Tokens {
  std::array<std::string_view, 7> items;
  std::size_t count = 0;

  void add(std::string_view token) noexcept {
    if (count < items.size()) items[count] = token;
    ++count;
  }
};

Tokens split_on_white_space(std::string_view text) noexcept {
  Tokens tokens;
  std::size_t at = 0;
  std::size_t token_start = std::string_view::npos;
  while (at < text.size()) {
    const std::size_t space = white_space_length(text, at);
    if (space == 0) {
      if (token_start == std::string_view::npos) token_start = at;
      ++at;
      continue;
    }
    if (token_start != std::string_view::npos) {
      tokens.add(text.substr(token_start, at - token_start));
      token_start = std::string_view::npos;
    }
    at += space;
  }
  if (token_start != std::string_view::npos) tokens.add(text.substr(token_start));
  return tokens;
}

std::string to_upper_ascii(std::string_view text) {
  std::string upper{text};
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && to_upper_ascii(a) == b;
}

struct Nickname {
  std::string_view name;
  std::string_view expansion;
};

constexpr std::array<Nickname, 6> kNicknames{{
    {"@YEARLY", "0 0 1 1 *"},
    {"@ANNUALLY", "0 0 1 1 *"},
    {"@MONTHLY", "0 0 1 * *"},
    {"@WEEKLY", "0 0 * * 0"},
    {"@DAILY", "0 0 * * *"},
    {"@HOURLY", "0 * * * *"},
}};

struct Replacement {
  std::string_view name;
  std::string_view number;
};

// "-SUN" comes first so that a range ending on Sunday (FRI-SUN) reads 5-7
// rather than the empty range 5-0.
constexpr std::array<Replacement, 20> kNames{{
    {"-SUN", "-7"}, {"SUN", "0"}, {"MON", "1"}, {"TUE", "2"},  {"WED", "3"},  {"THU", "4"},  {"FRI", "5"},
    {"SAT", "6"},   {"JAN", "1"}, {"FEB", "2"}, {"MAR", "3"},  {"APR", "4"},  {"MAY", "5"},  {"JUN", "6"},
    {"JUL", "7"},   {"AUG", "8"}, {"SEP", "9"}, {"OCT", "10"}, {"NOV", "11"}, {"DEC", "12"},
}};

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Names are replaced wherever they stand, so MON in the day-of-month field is
// day 1. A name cannot span white space, so working field by field gives the
// same result as working on the whole text.
std::string with_names_as_numbers(std::string_view field) {
  std::string text = to_upper_ascii(field);
  const bool has_letters = std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  if (!has_letters) return text;
  for (const Replacement& name : kNames) replace_all(text, name.name, name.number);
  return text;
}

// A text with "@" that is exactly a nickname (ignoring case and surrounding
// white space) becomes its expansion; any other stays as it is.
Tokens expand_nickname(const Tokens& tokens, std::string_view text) {
  if (text.find('@') == std::string_view::npos || tokens.count != 1) return tokens;
  for (const Nickname& nickname : kNicknames) {
    if (equals_ignoring_case(tokens.items[0], nickname.name)) return split_on_white_space(nickname.expansion);
  }
  return tokens;
}

}  // namespace

PatternText normalize_pattern_text(std::string_view text) {
  Tokens tokens = split_on_white_space(text);
  if (tokens.count == 0) throw Error(Error::Kind::EmptyPattern);
  tokens = expand_nickname(tokens, text);
  if (tokens.count < 5 || tokens.count > 7) {
    throw Error(Error::Kind::InvalidPattern, "Pattern must have between 5 and 7 fields.");
  }

  // Five fields lack seconds (0) and year (*); six lack only the year.
  PatternText result;
  const std::size_t first = tokens.count == 5 ? kMinute : kSecond;
  for (std::size_t i = 0; i < tokens.count; ++i)
    result.fields[first + i] = with_names_as_numbers(tokens.items[i]);
  if (tokens.count == 5) result.fields[kSecond] = "0";
  if (tokens.count < 7) result.fields[kYear] = "*";

  for (const FieldIndex day_field : {kDayOfMonth, kDayOfWeek}) {
    std::replace(result.fields[day_field].begin(), result.fields[day_field].end(), '?', '*');
  }
  std::string& day_of_week = result.fields[kDayOfWeek];
  if (!day_of_week.empty() && day_of_week.front() == '+') {
    day_of_week.erase(0, 1);
    result.days_need_both = true;
  }
  return result;
}

}  // namespace tyvo::cron
