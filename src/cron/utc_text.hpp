// Instants written as "YYYY-MM-DDTHH:MM:SSZ", the form the cron-next tool reads and prints, and
// as local time with its offset, "YYYY-MM-DDTHH:MM:SS+HH:MM".
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tyvo::cron {

// Exactly that form, naming a real date and time; anything else is nullopt.
std::optional<std::chrono::sys_seconds> parse_utc_text(std::string_view text);

std::string format_utc_text(std::chrono::sys_seconds instant);

// The instant's local time at `offset` seconds east of UTC, with the offset
// as ISO 8601 writes it (seconds only when it has them: "+00:53:28").
std::string format_local_text(std::chrono::sys_seconds instant, std::int32_t offset);

}  // namespace tyvo::cron
