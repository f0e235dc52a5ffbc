// Carries the module's log records into Python's `logging`, under the logger named by the target.
#pragma once

#include <Python.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/log.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

class PythonLoggingSink final : public log::Sink {
 public:
  // Imports `logging`; throws PythonErrorSet if that fails. Lock held.
  PythonLoggingSink();

  bool enabled(log::Level level, std::string_view target) const noexcept override;
  void write(const log::Record& record) override;

 private:
  // What a target's Python logger looked like when its first record was forwarded. Kept for the
  // life of the process, so that disabled records never need the interpreter lock.
  struct Entry {
    PyRef logger;
    int most_verbose;  // a log::Level value, or 0 when the logger had every level switched off
  };
  using Cache = std::map<std::string, Entry, std::less<>>;

  const Entry* cached(const Cache& cache, std::string_view target) const noexcept;
  void forward(const log::Record& record, const Entry* entry);
  void remember(std::string_view target, PyRef logger);
  std::shared_ptr<const Cache> snapshot() const;

  PyRef logging_;
  // A lock held only to copy or swap the pointer (never while Python runs): libc++ has no
  // std::atomic<std::shared_ptr>, and libstdc++'s takes a lock of its own as well.
  mutable std::mutex cache_mutex_;
  std::shared_ptr<const Cache> cache_;
};

}  // namespace tyvo::py
