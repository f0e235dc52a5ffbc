// The module's diagnostics: records with a level, a target, a message and the source location.
// Native code writes them here; one process-wide sink (installed at import) carries them on.
// This header is free of Python.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/message_format.hpp"
#include "bridge/runtime/forced_unwind.hpp"

namespace tyvo::log {

// Ordered from least to most verbose.
enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

struct Record {
  Level level;
  std::string_view target;  // path segments separated by "::"
  std::string message;
  const char* file;  // may be null
  std::uint32_t line;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Cheap pre-check, before the message is formatted.
  virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
  // Not noexcept: a sink may run Python, and the interpreter may end the writing thread in place.
  virtual void write(const Record& record) = 0;
};

// Makes `sink` the process-wide sink and lets records up to `most_verbose` through.
// Fails (false) if a sink is installed already: there is one per process.
bool install(Sink* sink, Level most_verbose) noexcept;

bool enabled(Level level, std::string_view target) noexcept;
void write(Record record);

// Formats the message only when some sink wants the record.
template <class... Args>
void emit(Level level, std::string_view target, const char* file, std::uint32_t line,
          std::string_view pattern, Args&&... args) {
  if (!enabled(level, target)) return;
  try {
    write(Record{level, target, format_message(pattern, std::forward<Args>(args)...), file, line});
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    // Diagnostics never fail the code that writes them.
  }
}

}  // namespace tyvo::log

#define TYVO_LOG(level, ...) ::tyvo::log::emit(level, "tyvo", __FILE__, __LINE__, __VA_ARGS__)
#define TYVO_LOG_ERROR(...) TYVO_LOG(::tyvo::log::Level::Error, __VA_ARGS__)
#define TYVO_LOG_WARN(...) TYVO_LOG(::tyvo::log::Level::Warn, __VA_ARGS__)
