#include "scheduler/scheduler_type.hpp"

#include "module/arguments.hpp"
#include "module/errors.hpp"

namespace tyvo::py {
namespace {

struct SchedulerObject {
  PyObject_HEAD
};

PyObject* scheduler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"Scheduler.__new__", {}, 0};
    bind_arguments(signature, args, kwargs, {});
    return require(type->tp_alloc(type, 0));
  });
}

void scheduler_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scheduler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scheduler_dealloc)},
    {Py_tp_doc, const_cast<char*>("Scheduler()\n--\n\n")},
    {0, nullptr}};
PyType_Spec spec = {"tyvo.Scheduler", sizeof(SchedulerObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* scheduler_class() {
  static PyObject* type = PyType_FromSpec(&spec);
  return type == nullptr ? nullptr : Py_NewRef(type);
}

}  // namespace tyvo::py
