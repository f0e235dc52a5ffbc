#include "cron_module/occurrence_iterator.hpp"

#include <new>

#include "cron_module/pattern_object.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

struct IteratorState {
  PyRef pattern;       // keeps the pattern alive while the iterator lives
  std::int64_t after;  // the last occurrence handed out, or the start
  bool exhausted;
};

struct IteratorObject {
  PyObject_HEAD
  IteratorState state;
};

PyTypeObject* iterator_type = nullptr;

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<IteratorObject*>(self)->state.~IteratorState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    IteratorState& state = reinterpret_cast<IteratorObject*>(self)->state;
    if (state.exhausted) return nullptr;  // StopIteration
    const PatternValue& value = pattern_value(state.pattern.get());
    const cron::Occurrence next = cron::find_next_after(value.pattern, sys_seconds{seconds{state.after}});
    if (!next) {
      state.exhausted = true;
      return nullptr;
    }
    PyObject* result = occurrence_datetime(value, next.time.time_since_epoch().count());
    state.after = next.time.time_since_epoch().count();
    return result;
  });
}

PyType_Slot iterator_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
                                {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
                                {0, nullptr}};

PyType_Spec iterator_spec = {"tyvo_cron.PatternIterator", sizeof(IteratorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             iterator_slots};

}  // namespace

void create_occurrence_iterator_class() {
  if (iterator_type == nullptr) {
    iterator_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&iterator_spec)));
  }
}

PyObject* new_occurrence_iterator(PyObject* pattern, std::int64_t after) {
  PyObject* self = require(iterator_type->tp_alloc(iterator_type, 0));
  new (&reinterpret_cast<IteratorObject*>(self)->state) IteratorState{PyRef::borrow(pattern), after, false};
  return self;
}

}  // namespace tyvo::py
