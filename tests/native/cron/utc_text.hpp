#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "cron/utc_text.hpp"

namespace tyvo::cron::testing {

// "YYYY-MM-DDTHH:MM:SSZ" to an instant; the tests write only valid ones.
inline std::chrono::sys_seconds utc(std::string_view text) { return *parse_utc_text(text); }

inline std::string utc_text(std::chrono::sys_seconds instant) { return format_utc_text(instant); }

}  // namespace tyvo::cron::testing
