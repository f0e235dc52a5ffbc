#include "module/trigger.hpp"

#include <datetime.h>

#include <new>
#include <string>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

struct TriggerObject {
  PyObject_HEAD
  TriggerValue value;
};

PyTypeObject* base_type = nullptr;
PyTypeObject* cron_type = nullptr;
PyTypeObject* interval_type = nullptr;

constexpr std::uint64_t seconds_per_day = 86'400;

// Allocates a variant object and constructs its value in place.
PyObject* new_trigger(PyTypeObject* type, TriggerValue value) {
  PyObject* self = require(type->tp_alloc(type, 0));
  new (&reinterpret_cast<TriggerObject*>(self)->value) TriggerValue(std::move(value));
  return self;
}

void trigger_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<TriggerObject*>(self)->value.~TriggerValue();
  type->tp_free(self);
  Py_DECREF(type);  // heap types are owned by their instances
}

IntervalTrigger interval_from_timedelta(PyObject* delta) {
  const int days = PyDateTime_DELTA_GET_DAYS(delta);
  if (days < 0) raise(PyExc_ValueError, "a negative timedelta cannot be converted to a duration");
  return IntervalTrigger{
      std::uint64_t(days) * seconds_per_day + std::uint64_t(PyDateTime_DELTA_GET_SECONDS(delta)),
      std::uint32_t(PyDateTime_DELTA_GET_MICROSECONDS(delta)) * 1000u,
  };
}

PyObject* cron_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"Trigger_Cron.__new__", {"expr"}, 1};
    PyObject* bound[1];
    bind_arguments(signature, args, kwargs, bound);
    return new_trigger(type, CronTrigger{utf8_argument(bound[0], "expr")});
  });
}

PyObject* interval_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"Trigger_Interval.__new__", {"duration"}, 1};
    PyObject* bound[1];
    bind_arguments(signature, args, kwargs, bound);
    if (!PyDelta_Check(bound[0])) raise_conversion_error("duration", bound[0], "PyDelta");
    return new_trigger(type, interval_from_timedelta(bound[0]));
  });
}

PyObject* cron_get_expr(PyObject* self, void*) {
  const auto& expr = std::get<CronTrigger>(reinterpret_cast<TriggerObject*>(self)->value).expr;
  return PyUnicode_FromStringAndSize(expr.data(), Py_ssize_t(expr.size()));
}

PyObject* interval_get_duration(PyObject* self, void*) {
  const auto& interval = std::get<IntervalTrigger>(reinterpret_cast<TriggerObject*>(self)->value);
  const std::uint64_t days = interval.seconds / seconds_per_day;
  if (days > std::uint64_t(INT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "duration is too large to be converted to a timedelta");
    return nullptr;
  }
  return PyDelta_FromDSU(int(days), int(interval.seconds % seconds_per_day),
                         int(interval.nanoseconds / 1000));
}

PyGetSetDef cron_getset[] = {{"expr", cron_get_expr, nullptr, nullptr, nullptr}, {}};
PyGetSetDef interval_getset[] = {{"duration", interval_get_duration, nullptr, nullptr, nullptr}, {}};

PyType_Slot base_slots[] = {{0, nullptr}};
PyType_Spec base_spec = {"tyvo.Trigger", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         base_slots};

PyType_Slot cron_slots[] = {{Py_tp_new, reinterpret_cast<void*>(cron_new)},
                            {Py_tp_dealloc, reinterpret_cast<void*>(trigger_dealloc)},
                            {Py_tp_getset, cron_getset},
                            {Py_tp_doc, const_cast<char*>("Trigger_Cron(expr)\n--\n\n")},
                            {0, nullptr}};
PyType_Spec cron_spec = {"tyvo.Trigger_Cron", sizeof(TriggerObject), 0, Py_TPFLAGS_DEFAULT, cron_slots};

PyType_Slot interval_slots[] = {{Py_tp_new, reinterpret_cast<void*>(interval_new)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(trigger_dealloc)},
                                {Py_tp_getset, interval_getset},
                                {Py_tp_doc, const_cast<char*>("Trigger_Interval(duration)\n--\n\n")},
                                {0, nullptr}};
PyType_Spec interval_spec = {"tyvo.Trigger_Interval", sizeof(TriggerObject), 0, Py_TPFLAGS_DEFAULT,
                             interval_slots};

PyTypeObject* make_variant(PyType_Spec& variant_spec, const char* field) {
  PyRef bases = PyRef::steal(require(PyTuple_Pack(1, base_type)));
  PyRef type = PyRef::steal(require(PyType_FromSpecWithBases(&variant_spec, bases.get())));
  PyRef match_args = PyRef::steal(require(Py_BuildValue("(s)", field)));
  require(PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

void create_classes() {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw PythonErrorSet{};
  base_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&base_spec)));
  cron_type = make_variant(cron_spec, "expr");
  interval_type = make_variant(interval_spec, "duration");
  require(PyObject_SetAttrString(reinterpret_cast<PyObject*>(base_type), "Cron",
                                 reinterpret_cast<PyObject*>(cron_type)));
  require(PyObject_SetAttrString(reinterpret_cast<PyObject*>(base_type), "Interval",
                                 reinterpret_cast<PyObject*>(interval_type)));
}

}  // namespace

PyObject* trigger_class() {
  if (base_type == nullptr || cron_type == nullptr || interval_type == nullptr) create_classes();
  return Py_NewRef(reinterpret_cast<PyObject*>(base_type));
}

TriggerValue extract_trigger(PyObject* object, const char* parameter) {
  if (cron_type != nullptr && (Py_IS_TYPE(object, cron_type) || Py_IS_TYPE(object, interval_type))) {
    return reinterpret_cast<TriggerObject*>(object)->value;
  }
  raise_conversion_error(parameter, object, "Trigger");
}

PyRef trigger_object(const TriggerValue& value) {
  if (base_type == nullptr || cron_type == nullptr || interval_type == nullptr) create_classes();
  PyTypeObject* type = std::holds_alternative<CronTrigger>(value) ? cron_type : interval_type;
  return PyRef::steal(new_trigger(type, value));
}

}  // namespace tyvo::py
