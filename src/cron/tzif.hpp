// Reader of the TZif format (RFC 8536), the compiled time-zone files of the IANA database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyvo::cron {

struct TzifData {
  struct LocalTimeType {
    std::int32_t utc_offset = 0;  // seconds east of UTC
    bool is_dst = false;
  };
  struct Transition {
    std::int64_t at = 0;  // seconds since 1970, UTC
    std::uint8_t type = 0;
  };
  std::vector<LocalTimeType> types;       // never empty
  std::vector<Transition> transitions;    // strictly ascending
  std::string footer;                     // the POSIX TZ rule, empty when absent
};

// The data of a version 1 file, or the 64-bit data and footer of a version 2+
// file. Anything malformed, truncated or out of the format's ranges gives
// nullopt: the bytes may come from any file at all.
std::optional<TzifData> read_tzif(std::string_view bytes);

}  // namespace tyvo::cron
