// Fuzz target for the zone-file reader: any bytes at all as a TZif file.
// Whatever is accepted must build a zone whose periods are well ordered, whose
// neighbouring offsets differ, and whose offset lookups agree with its periods.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "cron/tzif.hpp"
#include "cron/zone.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tzif fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace cron = tyvo::cron;
  const auto tzif = cron::read_tzif(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!tzif) return 0;
  if (tzif->types.empty()) fail("accepted a file without types");
  const auto zone = cron::Zone::from_tzif("Fuzz/Zone", *tzif);
  if (!zone) return 0;
  for (std::size_t i = 0; i < zone->period_count(); ++i) {
    const std::int64_t begin = zone->period_begin(i);
    const std::int64_t end = zone->period_end(i);
    if (begin >= end) fail("a period that does not move forward");
    if (i > 0 && zone->period_offset(i) == zone->period_offset(i - 1)) fail("two neighbouring periods share an offset");
    if (zone->period_offset(i) < -90'000 || zone->period_offset(i) > 93'600) fail("an offset out of range");
    if (begin != cron::Zone::unbounded_past && zone->period_index(begin) != i) fail("a period's start lies elsewhere");
    if (end != cron::Zone::unbounded_future && zone->period_index(end - 1) != i) fail("a period's end lies elsewhere");
  }
  return 0;
}
