#pragma once

#include <string_view>

#include "cron/pattern_text.hpp"

namespace tyvo::cron {

// Refuses a field holding a character its syntax never uses: digits, "*",
// "/", ",", "-" everywhere; also L, W and ? in the day of month; L, # and ?
// in the day of week. Throws Error (IllegalCharacters) naming the first one.
void check_field_alphabet(std::string_view field, FieldIndex index);

}  // namespace tyvo::cron
