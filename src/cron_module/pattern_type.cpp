#include "cron_module/pattern_type.hpp"

#include <new>
#include <string>

#include "cron/zone_prefix.hpp"
#include "cron_module/instants.hpp"
#include "cron_module/occurrence_iterator.hpp"
#include "cron_module/pattern_object.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/zone_search_path.hpp"

namespace tyvo::py {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

PyTypeObject* pattern_type = nullptr;

PyRef zone_info_named(const std::string& name) {
  PyRef zoneinfo = PyRef::steal(require(PyImport_ImportModule("zoneinfo")));
  return PyRef::steal(require(PyObject_CallMethod(zoneinfo.get(), "ZoneInfo", "s#", name.data(),
                                                  static_cast<Py_ssize_t>(name.size()))));
}

// Parses as Scheduler.schedule does (zones found where zoneinfo finds them); refusals become
// ValueError with the same text.
cron::Pattern parse_pattern(const std::string& text) {
  if (cron::has_zone_prefix(text)) share_zone_search_path();
  try {
    return cron::parse(text);
  } catch (const cron::Error& error) {
    raise(PyExc_ValueError, error.text());  // whole: a pattern may carry a NUL into it
  }
}

PyObject* pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"Pattern.__new__", {"expr"}, 1};
    PyObject* bound[1];
    bind_arguments(signature, args, kwargs, bound);
    const std::string text = utf8_argument(bound[0], "expr");
    cron::Pattern pattern = parse_pattern(text);
    PyRef zone_info = pattern.zone() != nullptr ? zone_info_named(pattern.zone()->name()) : PyRef{};
    PyObject* self = require(type->tp_alloc(type, 0));
    new (&reinterpret_cast<PatternObject*>(self)->value)
        PatternValue{std::move(pattern), PyRef::borrow(bound[0]), std::move(zone_info)};
    return self;
  });
}

void pattern_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PatternObject*>(self)->value.~PatternValue();
  type->tp_free(self);
  Py_DECREF(type);  // heap types are owned by their instances
}

PyObject* optional_datetime(const PatternValue& value, const cron::Occurrence& occurrence) {
  // Every failure of a search from a datetime's range means that there is no such occurrence.
  if (!occurrence) Py_RETURN_NONE;
  return occurrence_datetime(value, occurrence.time.time_since_epoch().count());
}

PyObject* pattern_next(PyObject* self, PyObject* dt) {
  return guarded<PyObject*>(nullptr, [&] {
    const PatternValue& value = pattern_value(self);
    // Strictly after a fraction of a second past S is strictly after S too.
    const Instant after = instant_of(dt, "dt", value.pattern.zone(), value.zone_info.get());
    return optional_datetime(value, cron::find_next_after(value.pattern, sys_seconds{seconds{after.seconds}}));
  });
}

PyObject* pattern_previous(PyObject* self, PyObject* dt) {
  return guarded<PyObject*>(nullptr, [&] {
    const PatternValue& value = pattern_value(self);
    // Strictly before a fraction of a second past S includes S itself.
    const Instant before = instant_of(dt, "dt", value.pattern.zone(), value.zone_info.get());
    const std::int64_t end = before.seconds + (before.microseconds > 0 ? 1 : 0);
    return optional_datetime(value, cron::find_previous_before(value.pattern, sys_seconds{seconds{end}}));
  });
}

PyObject* pattern_matches(PyObject* self, PyObject* dt) {
  return guarded<PyObject*>(nullptr, [&] {
    const PatternValue& value = pattern_value(self);
    const Instant at = instant_of(dt, "dt", value.pattern.zone(), value.zone_info.get());
    if (at.microseconds != 0) Py_RETURN_FALSE;
    const cron::Occurrence next = cron::find_next_after(value.pattern, sys_seconds{seconds{at.seconds - 1}});
    return PyBool_FromLong(next && next.time.time_since_epoch().count() == at.seconds);
  });
}

PyObject* pattern_iter(PyObject* self, PyObject* start) {
  return guarded<PyObject*>(nullptr, [&] {
    const PatternValue& value = pattern_value(self);
    const Instant after = instant_of(start, "start", value.pattern.zone(), value.zone_info.get());
    return new_occurrence_iterator(self, after.seconds);
  });
}

PyObject* pattern_reduce(PyObject* self, PyObject*) {
  return Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), pattern_value(self).expr.get());
}

PyObject* pattern_get_expr(PyObject* self, void*) { return Py_NewRef(pattern_value(self).expr.get()); }

PyObject* pattern_repr(PyObject* self) { return PyUnicode_FromFormat("Pattern(%R)", pattern_value(self).expr.get()); }

Py_hash_t pattern_hash(PyObject* self) { return PyObject_Hash(pattern_value(self).expr.get()); }

// Equal when made from the same text: a value that pickles, prints and compares by what it was
// made from.
PyObject* pattern_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
  const int equal = PyUnicode_Compare(pattern_value(self).expr.get(), pattern_value(other).expr.get());
  if (equal == -1 && PyErr_Occurred()) return nullptr;
  return PyBool_FromLong((equal == 0) == (op == Py_EQ));
}

PyMethodDef pattern_methods[] = {
    {"next", pattern_next, METH_O,
     "next($self, dt, /)\n--\n\nThe first occurrence strictly after dt, or None if there is none."},
    {"previous", pattern_previous, METH_O,
     "previous($self, dt, /)\n--\n\nThe last occurrence strictly before dt, or None if there is none."},
    {"matches", pattern_matches, METH_O, "matches($self, dt, /)\n--\n\nWhether dt is an occurrence."},
    {"iter", pattern_iter, METH_O,
     "iter($self, start, /)\n--\n\nAn iterator of the occurrences strictly after start, in order."},
    {"__reduce__", pattern_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef pattern_getset[] = {{"expr", pattern_get_expr, nullptr, "The text the pattern was made from.", nullptr},
                                {}};

PyType_Slot pattern_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pattern_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pattern_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(pattern_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(pattern_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(pattern_richcompare)},
    {Py_tp_methods, pattern_methods},
    {Py_tp_getset, pattern_getset},
    {Py_tp_doc, const_cast<char*>("Pattern(expr)\n--\n\nA cron pattern, parsed once: its occurrences as aware "
                                  "datetimes.")},
    {0, nullptr}};

PyType_Spec pattern_spec = {"tyvo_cron.Pattern", sizeof(PatternObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, pattern_slots};

}  // namespace

PyObject* occurrence_datetime(const PatternValue& value, std::int64_t seconds) {
  if (const cron::Zone* zone = value.pattern.zone()) return zoned_datetime(seconds, *zone, value.zone_info.get());
  return utc_datetime(seconds);
}

PyObject* pattern_class() {
  if (pattern_type == nullptr) {
    pattern_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&pattern_spec)));
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(pattern_type));
}

}  // namespace tyvo::py
