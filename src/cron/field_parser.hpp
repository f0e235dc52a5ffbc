#pragma once

#include <string_view>

#include "cron/pattern.hpp"
#include "cron/pattern_text.hpp"

namespace tyvo::cron {

// Adds the values of one field (already normalised and past the alphabet
// check) to `fields`. Throws Error (ComponentError) with the inner text that
// names what is wrong with the first bad part.
void parse_field(std::string_view field, FieldIndex index, Fields& fields);

}  // namespace tyvo::cron
