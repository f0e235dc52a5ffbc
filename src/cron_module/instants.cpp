#include "cron_module/instants.hpp"

#include <datetime.h>

#include <chrono>

#include "cron/zone_periods.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

using namespace std::chrono;

constexpr std::int64_t seconds_per_day = 86'400;
constexpr std::int64_t microseconds_per_second = 1'000'000;

// utcoffset() of an aware datetime, in microseconds; false for a naive one.
bool utc_offset_of(PyObject* value, std::int64_t& offset) {
  PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(value);  // borrowed
  if (tzinfo == Py_None) return false;
  if (tzinfo == PyDateTime_TimeZone_UTC) {
    offset = 0;
    return true;
  }
  static PyObject* const method = PyUnicode_InternFromString("utcoffset");  // lives with the process
  if (method == nullptr) throw PythonErrorSet{};
  PyRef delta = PyRef::steal(require(PyObject_CallMethodNoArgs(value, method)));
  if (delta.get() == Py_None) return false;
  if (!PyDelta_Check(delta.get())) raise(PyExc_TypeError, "utcoffset() did not return a timedelta");
  offset = (std::int64_t{PyDateTime_DELTA_GET_DAYS(delta.get())} * seconds_per_day +
            PyDateTime_DELTA_GET_SECONDS(delta.get())) *
               microseconds_per_second +
           PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
  return true;
}

// The instant at which the zone's clock shows `wall`, read as zoneinfo reads a local time: of a
// time shown twice the first pass (fold 0) or the second (fold 1); a time that is skipped with the
// offset from before the change (fold 0) or from after it (fold 1).
std::int64_t instant_of_wall(const cron::Zone& zone, std::int64_t wall, bool fold) noexcept {
  using cron::zone_periods::shows;
  // Only these periods can show `wall`, or border on a gap that hides it.
  const std::size_t first = zone.period_index(wall - zone.max_offset());
  const std::size_t last = zone.period_index(wall - zone.min_offset());
  std::size_t chosen = first;
  bool shown = false;
  for (std::size_t i = first; i <= last; ++i) {
    if (!shows(zone, i, wall)) continue;
    if (!shown || fold) chosen = i;
    shown = true;
  }
  if (!shown) {
    for (std::size_t i = first; i < last; ++i) {
      if (zone.period_end(i) + zone.period_offset(i) <= wall) chosen = fold ? i + 1 : i;
    }
  }
  return wall - zone.period_offset(chosen);
}

struct Fields {
  int year, month, day, hour, minute, second;
};

Fields fields_of(std::int64_t seconds) noexcept {
  const sys_seconds instant{std::chrono::seconds{seconds}};
  const sys_days date = floor<days>(instant);
  const year_month_day ymd{date};
  const std::int64_t of_day = (instant - date).count();
  return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())), static_cast<int>(of_day / 3600),
          static_cast<int>(of_day / 60 % 60), static_cast<int>(of_day % 60)};
}

}  // namespace

void import_datetime() {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw PythonErrorSet{};
}

Instant instant_of(PyObject* value, const char* parameter, const cron::Zone* zone, PyObject* zone_info) {
  if (!PyDateTime_Check(value)) raise_conversion_error(parameter, value, "datetime");
  const sys_days date{year{PyDateTime_GET_YEAR(value)} / PyDateTime_GET_MONTH(value) / PyDateTime_GET_DAY(value)};
  const std::int64_t local_seconds = date.time_since_epoch().count() * seconds_per_day +
                                     PyDateTime_DATE_GET_HOUR(value) * 3600 +
                                     PyDateTime_DATE_GET_MINUTE(value) * 60 + PyDateTime_DATE_GET_SECOND(value);
  // On the pattern's own zone (a plain datetime, whose utcoffset() is zoneinfo's): the zone's data
  // answers without a call into Python.
  if (zone != nullptr && PyDateTime_CheckExact(value) && PyDateTime_DATE_GET_TZINFO(value) == zone_info) {
    return {instant_of_wall(*zone, local_seconds, PyDateTime_DATE_GET_FOLD(value) != 0),
            PyDateTime_DATE_GET_MICROSECOND(value)};
  }
  std::int64_t offset = 0;
  if (!utc_offset_of(value, offset)) {
    raise(PyExc_ValueError, std::string("argument '") + parameter +
                                "': a naive datetime is not an instant; give it a tzinfo "
                                "(datetime.timezone.utc, a zoneinfo.ZoneInfo, ...)");
  }
  const std::int64_t micros =
      local_seconds * microseconds_per_second + PyDateTime_DATE_GET_MICROSECOND(value) - offset;
  // Floor division: an instant before the epoch with a fraction rounds down.
  std::int64_t whole = micros / microseconds_per_second;
  std::int64_t fraction = micros % microseconds_per_second;
  if (fraction < 0) {
    fraction += microseconds_per_second;
    whole -= 1;
  }
  return {whole, static_cast<std::int32_t>(fraction)};
}

PyObject* utc_datetime(std::int64_t seconds) {
  const Fields f = fields_of(seconds);
  return require(PyDateTimeAPI->DateTime_FromDateAndTime(f.year, f.month, f.day, f.hour, f.minute, f.second, 0,
                                                         PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType));
}

PyObject* zoned_datetime(std::int64_t seconds, const cron::Zone& zone, PyObject* zone_info) {
  const std::size_t period = zone.period_index(seconds);
  const std::int64_t local = seconds + zone.period_offset(period);
  // The second pass of a repeated local time: the period before showed it already.
  const int fold = period > 0 && cron::zone_periods::shows(zone, period - 1, local) ? 1 : 0;
  const Fields f = fields_of(local);
  return require(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(f.year, f.month, f.day, f.hour, f.minute, f.second,
                                                                0, zone_info, fold, PyDateTimeAPI->DateTimeType));
}

}  // namespace tyvo::py
