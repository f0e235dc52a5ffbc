#include "cron/cron.hpp"
#include "cron/field_alphabet.hpp"
#include "cron/field_parser.hpp"
#include "cron/pattern_text.hpp"

namespace tyvo::cron {

Pattern parse(std::string_view text) {
  const PatternText normalized = normalize_pattern_text(text);
  // Every field's alphabet is checked before any field is parsed, so a stray
  // letter is reported even when an earlier field is also out of bounds.
  for (unsigned index = 0; index < kFieldCount; ++index) {
    check_field_alphabet(normalized.fields[index], static_cast<FieldIndex>(index));
  }
  Fields fields;
  for (unsigned index = 0; index < kFieldCount; ++index) {
    parse_field(normalized.fields[index], static_cast<FieldIndex>(index), fields);
  }
  fields.day_of_month_unrestricted = normalized.fields[kDayOfMonth] == "*";
  fields.day_of_week_unrestricted = normalized.fields[kDayOfWeek] == "*";
  fields.days_need_both = normalized.days_need_both;
  return Pattern(fields);
}

}  // namespace tyvo::cron
