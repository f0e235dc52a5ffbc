// Zone data for cron patterns with a time-zone prefix: the cron engine reads the same files as
// Python's zoneinfo, so that a user's Python and tyvo never disagree about a zone.
#pragma once

namespace tyvo::py {

// Hands the engine zoneinfo's search path: the directories of zoneinfo.TZPATH (read afresh, so
// that zoneinfo.reset_tzpath() is followed), then the tzdata package's zoneinfo directory if the
// package can be imported (looked up once per process). Call with the lock held; throws
// PythonErrorSet if zoneinfo itself cannot be imported.
void share_zone_search_path();

}  // namespace tyvo::py
