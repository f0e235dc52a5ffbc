// Instants written as "YYYY-MM-DDTHH:MM:SSZ", the form the cron-next tool reads and prints.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tyvo::cron {

// Exactly that form, naming a real date and time; anything else is nullopt.
std::optional<std::chrono::sys_seconds> parse_utc_text(std::string_view text);

std::string format_utc_text(std::chrono::sys_seconds instant);

}  // namespace tyvo::cron
