// Aware datetimes in, aware datetimes out: the edge between Python's datetime and the cron
// engine's instants (whole seconds since the Unix epoch, UTC). All datetime C API use is here.
#pragma once

#include <Python.h>

#include <cstdint>

#include "cron/zone.hpp"

namespace tyvo::py {

// Loads the datetime C API. Once, at module initialisation; throws PythonErrorSet.
void import_datetime();

struct Instant {
  std::int64_t seconds = 0;      // whole seconds since the epoch, rounded down
  std::int32_t microseconds = 0;  // 0..999999 past them
};

// An aware datetime as an instant: TypeError for anything but a datetime, ValueError for a
// naive one (no tzinfo, or one whose utcoffset() is None). A datetime whose tzinfo is
// `zone_info`, the ZoneInfo of `zone`, is read from the zone's data, as zoneinfo would read it.
Instant instant_of(PyObject* value, const char* parameter, const cron::Zone* zone = nullptr,
                   PyObject* zone_info = nullptr);

// The instant as a datetime in UTC (datetime.timezone.utc).
PyObject* utc_datetime(std::int64_t seconds);

// The instant as a datetime on the zone's wall clock with `zone_info` (that zone's
// zoneinfo.ZoneInfo) as tzinfo, and fold=1 when the local time is the second pass of a repeated
// one.
PyObject* zoned_datetime(std::int64_t seconds, const cron::Zone& zone, PyObject* zone_info);

}  // namespace tyvo::py
