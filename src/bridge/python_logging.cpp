#include "bridge/python_logging.hpp"

#include "python/interpreter.hpp"
#include "python/saved_exception.hpp"
#include "python/errors.hpp"

namespace tyvo::py {
namespace {

int python_level(log::Level level) noexcept {
  switch (level) {
    case log::Level::Error:
      return 40;
    case log::Level::Warn:
      return 30;
    case log::Level::Info:
      return 20;
    case log::Level::Debug:
      return 10;
    case log::Level::Trace:
      return 5;
  }
  return 0;
}

std::string logger_name(std::string_view target) {
  std::string name;
  for (std::size_t at = 0; at < target.size();) {
    if (target.compare(at, 2, "::") == 0) {
      name += '.';
      at += 2;
    } else {
      name += target[at++];
    }
  }
  return name;
}

PyRef unicode(std::string_view text) {
  return PyRef::steal(require(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()))));
}

bool is_enabled_for(PyObject* logger, int level) {
  PyRef answer = PyRef::steal(require(PyObject_CallMethod(logger, "isEnabledFor", "i", level)));
  return require(PyObject_IsTrue(answer.get())) != 0;
}

}  // namespace

PythonLoggingSink::PythonLoggingSink()
    : logging_(PyRef::steal(require(PyImport_ImportModule("logging")))),
      cache_(std::make_shared<const Cache>()) {}

std::shared_ptr<const PythonLoggingSink::Cache> PythonLoggingSink::snapshot() const {
  std::lock_guard guard(cache_mutex_);
  return cache_;
}

const PythonLoggingSink::Entry* PythonLoggingSink::cached(const Cache& cache,
                                                          std::string_view target) const noexcept {
  auto found = cache.find(target);
  return found == cache.end() ? nullptr : &found->second;
}

bool PythonLoggingSink::enabled(log::Level level, std::string_view target) const noexcept {
  const auto cache = snapshot();
  const Entry* entry = cached(*cache, target);
  return entry == nullptr || static_cast<int>(level) <= entry->most_verbose;
}

void PythonLoggingSink::write(const log::Record& record) {
  if (!enabled(record.level, record.target)) return;
  InterpreterLock lock;
  if (!lock.held()) return;  // the program is ending: the record is lost
  SavedException pending;    // the logging thread's own exception survives this detour
  const auto cache = snapshot();
  try {
    forward(record, cached(*cache, record.target));
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    // A failing handler or logger must not reach the code that logged.
  }
  PyErr_Clear();
}

void PythonLoggingSink::forward(const log::Record& record, const Entry* entry) {
  const int level = python_level(record.level);
  PyRef logger = entry != nullptr
                     ? entry->logger
                     : PyRef::steal(require(PyObject_CallMethod(logging_.get(), "getLogger", "s",
                                                                logger_name(record.target).c_str())));
  if (is_enabled_for(logger.get(), level)) {
    PyRef name = unicode(logger_name(record.target));
    PyRef path = record.file != nullptr ? unicode(record.file) : PyRef::borrow(Py_None);
    PyRef message = unicode(record.message);
    PyRef made = PyRef::steal(
        require(PyObject_CallMethod(logger.get(), "makeRecord", "OiOIOOO", name.get(), level, path.get(),
                                    unsigned(record.line), message.get(), Py_None, Py_None)));
    PyRef handled = PyRef::steal(require(PyObject_CallMethod(logger.get(), "handle", "O", made.get())));
  }
  if (entry == nullptr) remember(record.target, std::move(logger));
}

void PythonLoggingSink::remember(std::string_view target, PyRef logger) {
  int most_verbose = 0;
  try {
    for (auto candidate :
         {log::Level::Trace, log::Level::Debug, log::Level::Info, log::Level::Warn, log::Level::Error}) {
      if (is_enabled_for(logger.get(), python_level(candidate))) {
        most_verbose = static_cast<int>(candidate);
        break;
      }
    }
  } catch (const PythonErrorSet&) {
    PyErr_Clear();
    most_verbose = static_cast<int>(log::Level::Trace);
  }
  // Copy, extend, swap: readers keep the map they hold. If another thread got there first, its
  // entry stays.
  auto current = snapshot();
  for (;;) {
    if (cached(*current, target) != nullptr) return;
    auto extended = std::make_shared<Cache>(*current);
    extended->emplace(std::string(target), Entry{logger, most_verbose});
    std::lock_guard guard(cache_mutex_);
    if (cache_ == current) {
      cache_ = std::move(extended);
      return;
    }
    current = cache_;
  }
}

}  // namespace tyvo::py
