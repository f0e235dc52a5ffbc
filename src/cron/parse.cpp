#include "cron/cron.hpp"
#include "cron/field_alphabet.hpp"
#include "cron/field_parser.hpp"
#include "cron/pattern_text.hpp"
#include "cron/zone_library.hpp"
#include "cron/zone_prefix.hpp"

namespace tyvo::cron {

Pattern parse(std::string_view text) {
  // The zone comes off first: its name is case-sensitive, the pattern is not.
  const ZonePrefix prefix = split_zone_prefix(text);
  const PatternText normalized = normalize_pattern_text(prefix.pattern);
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
  fields.hour_unrestricted = normalized.fields[kHour] == "*";

  // A well-formed pattern in an unknown zone is refused last, after every
  // check that needs no file.
  std::shared_ptr<const Zone> zone;
  if (prefix.zone) {
    zone = find_zone(*prefix.zone);
    if (!zone) throw Error(Error::Kind::UnknownTimeZone, valid_utf8(*prefix.zone));
  }
  return Pattern(fields, std::move(zone));
}

}  // namespace tyvo::cron
