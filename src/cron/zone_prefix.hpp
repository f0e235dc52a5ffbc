#pragma once

#include <optional>
#include <string_view>

namespace tyvo::cron {

// A pattern text may begin with CRON_TZ=<zone> or TZ=<zone> (the keyword in
// any case, white space before it allowed), then white space, then the
// pattern. Without the prefix the whole text is the pattern.
struct ZonePrefix {
  std::optional<std::string_view> zone;  // as written
  std::string_view pattern;
};

// Throws Error (InvalidPattern) for a prefix with no zone name, or with no
// pattern after it.
ZonePrefix split_zone_prefix(std::string_view text);

// Whether `text` begins with a zone prefix, well formed or not. Cheap.
bool has_zone_prefix(std::string_view text) noexcept;

}  // namespace tyvo::cron
