#include "bridge/log.hpp"

#include <atomic>

namespace tyvo::log {
namespace {
std::atomic<Sink*> installed_sink{nullptr};
std::atomic<Level> most_verbose_level{Level::Error};
}  // namespace

bool install(Sink* sink, Level most_verbose) noexcept {
  Sink* expected = nullptr;
  if (!installed_sink.compare_exchange_strong(expected, sink)) return false;
  most_verbose_level.store(most_verbose);
  return true;
}

bool enabled(Level level, std::string_view target) noexcept {
  Sink* sink = installed_sink.load(std::memory_order_acquire);
  return sink != nullptr && level <= most_verbose_level.load(std::memory_order_relaxed) &&
         sink->enabled(level, target);
}

void write(Record record) {
  if (Sink* sink = installed_sink.load(std::memory_order_acquire)) sink->write(record);
}

}  // namespace tyvo::log
