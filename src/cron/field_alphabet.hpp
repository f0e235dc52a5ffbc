#pragma once

#include <string>
#include <string_view>

#include "cron/pattern_text.hpp"

namespace tyvo::cron {

// Refuses a field holding a character its syntax never uses: digits, "*",
// "/", ",", "-" everywhere; also L, W and ? in the day of month; L, # and ?
// in the day of week. Throws Error (IllegalCharacters) naming the first one.
void check_field_alphabet(std::string_view field, FieldIndex index);

// `text` with every malformed UTF-8 sequence replaced by U+FFFD, so that a
// message quoting it stays valid UTF-8 (it becomes a Python str).
std::string valid_utf8(std::string_view text);

}  // namespace tyvo::cron
