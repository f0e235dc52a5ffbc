#include "cron/field_parser.hpp"

#include <algorithm>
#include <optional>

#include "cron/bit_mask.hpp"
#include "cron/error.hpp"

namespace tyvo::cron {
namespace {

struct Bounds {
  int min;
  int max;
  constexpr bool contains(int value) const noexcept { return value >= min && value <= max; }
};

constexpr Bounds bounds_of(FieldIndex index) noexcept {
  switch (index) {
    case kSecond:
    case kMinute:
      return {0, 59};
    case kHour:
      return {0, 23};
    case kDayOfMonth:
      return {1, 31};
    case kMonth:
      return {1, 12};
    case kDayOfWeek:
      return {0, 7};  // 0 and 7 are both Sunday
    case kYear:
    case kFieldCount:
      break;
  }
  return {YearSet::first_year, YearSet::last_year};
}

[[noreturn]] void refuse(std::string_view reason) { throw Error(Error::Kind::ComponentError, reason); }

// Decimal digits only. Huge values saturate, so that they read as numbers out
// of bounds (which they are) rather than as malformed text.
std::optional<int> number(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  constexpr long long saturation = 1'000'000'000;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + (c - '0'), saturation);
  }
  return static_cast<int>(value);
}

bool contains(std::string_view text, char c) noexcept { return text.find(c) != std::string_view::npos; }

// Splits on every `separator`; `pieces` receives up to two of them and the
// result is how many there were in all.
std::size_t split(std::string_view text, char separator, std::string_view (&pieces)[2]) noexcept {
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const std::string_view piece = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (count < 2) pieces[count] = piece;
    ++count;
    if (end == std::string_view::npos) return count;
    start = end + 1;
  }
}

class FieldParser {
 public:
  FieldParser(FieldIndex index, Fields& fields) noexcept
      : index_(index), bounds_(bounds_of(index)), fields_(fields) {}

  void parse(std::string_view field) {
    if (field == "*") return add_every(bounds_.min, bounds_.max, 1);
    std::size_t start = 0;
    while (true) {
      const std::size_t comma = field.find(',', start);
      part(field.substr(start, comma == std::string_view::npos ? comma : comma - start));
      if (comma == std::string_view::npos) return;
      start = comma + 1;
    }
  }

 private:
  void part(std::string_view text) {
    if (index_ == kDayOfMonth && day_of_month_part(text)) return;
    if (index_ == kDayOfWeek && day_of_week_part(text)) return;
    if (contains(text, '/')) return stepped(text);
    if (contains(text, '-')) return range(text);
    // "*" stands only alone ("*,5" is refused); single_value says why.
    add(single_value(text));
  }

  // `L`, `nW`. Any other use of L is refused: a trailing one as a
  // last-weekday specifier, which belongs to the day of week.
  bool day_of_month_part(std::string_view text) {
    if (text == "L") {
      fields_.last_day_of_month = true;
      return true;
    }
    if (text.ends_with('L')) refuse("Nth specifier # not allowed in the current field.");
    if (contains(text, 'L')) refuse("L not allowed in the current field.");
    if (!contains(text, 'W')) return false;
    const std::optional<int> day =
        text.ends_with('W') ? number(text.substr(0, text.size() - 1)) : std::nullopt;
    if (!day) refuse("Invalid day for closest weekday.");
    if (!bounds_.contains(*day)) refuse("Day for closest weekday out of bounds.");
    fields_.nearest_weekdays |= static_cast<std::uint32_t>(bit(*day));
    return true;
  }

  // `L`, `nL`, `n#k`, with n a single weekday.
  bool day_of_week_part(std::string_view text) {
    if (text == "L") {
      // L alone: Saturday, the last day of the week, as schedulers that know
      // this form read it ("the last day" of a field that lists weekdays).
      fields_.weekdays |= static_cast<std::uint8_t>(bit(6));
      return true;
    }
    if (text.ends_with('L')) {
      const int weekday = single_value(text.substr(0, text.size() - 1)) % 7;
      fields_.last_weekdays |= static_cast<std::uint8_t>(bit(weekday));
      return true;
    }
    if (contains(text, 'L')) refuse("L not allowed in the current field.");
    if (!contains(text, '#')) return false;
    std::string_view pieces[2];
    if (split(text, '#', pieces) != 2) refuse("Invalid nth specifier.");
    const std::optional<int> nth = number(pieces[1]);
    if (!nth) refuse("Invalid nth specifier.");
    if (*nth < 1 || *nth > 5) refuse("Nth specifier out of bounds.");
    const int weekday = single_value(pieces[0]) % 7;
    fields_.nth_weekdays[static_cast<unsigned>(weekday)] |= static_cast<std::uint8_t>(bit(*nth));
    return true;
  }

  // `*/s`, `a/s`, `a-b/s`.
  void stepped(std::string_view text) {
    std::string_view pieces[2];
    if (split(text, '/', pieces) != 2) refuse("Invalid stepped range syntax.");
    const std::optional<int> step = number(pieces[1]);
    if (!step) refuse("Invalid step.");
    if (*step == 0) refuse("Step cannot be zero.");

    const std::string_view base = pieces[0];
    Bounds span = bounds_;
    if (base == "*") {
      // the whole field
    } else if (contains(base, '-')) {
      std::string_view ends[2];
      if (split(base, '-', ends) != 2) refuse("Invalid range syntax in stepping.");
      const std::optional<int> first = number(ends[0]);
      if (!first) refuse("Invalid range start.");
      const std::optional<int> last = number(ends[1]);
      if (!last) refuse("Invalid range end.");
      span = {*first, *last};
    } else {
      const std::optional<int> first = number(base);
      if (!first) refuse("Invalid start.");
      span.min = *first;
    }
    if (!bounds_.contains(span.min) || !bounds_.contains(span.max) || span.min > span.max) {
      refuse("Range is out of bounds in stepping.");
    }
    add_every(span.min, span.max, *step);
  }

  // `a-b`.
  void range(std::string_view text) {
    std::string_view ends[2];
    if (split(text, '-', ends) != 2) refuse("Invalid range syntax.");
    const std::optional<int> first = number(ends[0]);
    if (!first) refuse("Invalid start of range.");
    const std::optional<int> last = number(ends[1]);
    if (!last) refuse("Invalid end of range.");
    if (!bounds_.contains(*first) || !bounds_.contains(*last) || *first > *last) {
      refuse("Range out of bounds.");
    }
    add_every(*first, *last, 1);
  }

  int single_value(std::string_view text) const {
    const std::optional<int> value = number(text);
    if (!value) refuse("Invalid number.");
    if (!bounds_.contains(*value)) refuse("Number out of bounds.");
    return *value;
  }

  void add_every(int first, int last, int step) {
    if (index_ == kYear) return fields_.years.add_every(first, last, step);
    std::uint64_t values = 0;
    if (step == 1) {
      values = (~std::uint64_t{0} << first) & (~std::uint64_t{0} >> (63 - last));
    } else {
      for (int value = first; value <= last; value += step) values |= bit(value);
    }
    add_values(values);
  }

  void add(int value) {
    if (index_ == kYear) return fields_.years.add(value);
    add_values(bit(value));
  }

  void add_values(std::uint64_t values) {
    switch (index_) {
      case kSecond:
        fields_.seconds |= values;
        break;
      case kMinute:
        fields_.minutes |= values;
        break;
      case kHour:
        fields_.hours |= static_cast<std::uint32_t>(values);
        break;
      case kDayOfMonth:
        fields_.days_of_month |= static_cast<std::uint32_t>(values);
        break;
      case kMonth:
        fields_.months |= static_cast<std::uint16_t>(values);
        break;
      case kDayOfWeek:  // 7 is Sunday again
        fields_.weekdays |= static_cast<std::uint8_t>((values | values >> 7) & 0x7F);
        break;
      case kYear:
      case kFieldCount:
        break;
    }
  }

  FieldIndex index_;
  Bounds bounds_;
  Fields& fields_;
};

}  // namespace

void parse_field(std::string_view field, FieldIndex index, Fields& fields) {
  FieldParser(index, fields).parse(field);
}

}  // namespace tyvo::cron
