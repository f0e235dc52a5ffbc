// Where time zones come from: TZif files looked up by IANA name in a list of
// directories, each zone read once per process and kept.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cron/zone.hpp"

namespace tyvo::cron {

// The directories searched, in order, for a zone's file. The Python module
// hands in zoneinfo's own (its TZPATH, then the tzdata package's files);
// until then the default TZPATH of CPython builds is used. Zones already
// loaded stay as they are.
void set_zone_search_path(std::vector<std::string> directories);
std::vector<std::string> zone_search_path();

// The zone named `name`, or nullptr when no directory holds a valid TZif
// file under that name. A name that is not a plain relative path inside the
// directories (empty, absolute, with "." or ".." parts, or with characters
// no zone name uses) is never looked up. Thread-safe.
std::shared_ptr<const Zone> find_zone(std::string_view name);

}  // namespace tyvo::cron
