#include "cron/tzif.hpp"

namespace tyvo::cron {
namespace {

// Bounds-checked big-endian reads over the file's bytes; any read past the
// end marks the whole reader failed instead of touching memory.
class Reader {
 public:
  explicit Reader(std::string_view bytes) noexcept : bytes_(bytes) {}

  bool ok() const noexcept { return ok_; }
  std::size_t remaining() const noexcept { return ok_ ? bytes_.size() - at_ : 0; }

  std::string_view take(std::size_t count) noexcept {
    if (!ok_ || count > bytes_.size() - at_) {
      ok_ = false;
      return {};
    }
    const std::string_view piece = bytes_.substr(at_, count);
    at_ += count;
    return piece;
  }

  std::uint64_t big_endian(std::size_t width) noexcept {
    std::uint64_t value = 0;
    for (const char c : take(width)) value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
  }

  std::int64_t signed_big_endian(std::size_t width) noexcept {
    const std::uint64_t value = big_endian(width);
    if (width == 8) return static_cast<std::int64_t>(value);
    const std::uint64_t sign = std::uint64_t{1} << (width * 8 - 1);
    return static_cast<std::int64_t>(value ^ sign) - static_cast<std::int64_t>(sign);
  }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

struct Header {
  char version = 0;
  std::uint64_t isutcnt = 0, isstdcnt = 0, leapcnt = 0, timecnt = 0, typecnt = 0, charcnt = 0;
};

std::optional<Header> read_header(Reader& in) {
  if (in.take(4) != "TZif") return std::nullopt;
  Header header;
  const std::string_view version = in.take(1);
  in.take(15);
  header.isutcnt = in.big_endian(4);
  header.isstdcnt = in.big_endian(4);
  header.leapcnt = in.big_endian(4);
  header.timecnt = in.big_endian(4);
  header.typecnt = in.big_endian(4);
  header.charcnt = in.big_endian(4);
  if (!in.ok()) return std::nullopt;
  header.version = version[0];
  // RFC 8536 3.1: at least one type and one abbreviation byte; the indicator
  // arrays are absent or one entry per type. Type indices are one byte.
  if (header.typecnt == 0 || header.typecnt > 256 || header.charcnt == 0) return std::nullopt;
  if (header.isutcnt != 0 && header.isutcnt != header.typecnt) return std::nullopt;
  if (header.isstdcnt != 0 && header.isstdcnt != header.typecnt) return std::nullopt;
  return header;
}

// The data block's size for `time_size`-byte times, in 64 bits so that huge
// counts cannot wrap around.
std::uint64_t block_size(const Header& h, std::uint64_t time_size) {
  return h.timecnt * time_size + h.timecnt + h.typecnt * 6 + h.charcnt + h.leapcnt * (time_size + 4) +
         h.isstdcnt + h.isutcnt;
}

// RFC 8536 limits a type's offset to -89999..93599 (about -25 h to +26 h).
constexpr std::int64_t min_offset = -89'999;
constexpr std::int64_t max_offset = 93'599;

std::optional<TzifData> read_block(Reader& in, const Header& h, std::size_t time_size) {
  if (block_size(h, time_size) > in.remaining()) return std::nullopt;
  TzifData data;
  data.transitions.resize(h.timecnt);
  for (auto& transition : data.transitions) transition.at = in.signed_big_endian(time_size);
  for (auto& transition : data.transitions) {
    transition.type = static_cast<std::uint8_t>(in.big_endian(1));
    if (transition.type >= h.typecnt) return std::nullopt;
  }
  for (std::size_t i = 1; i < data.transitions.size(); ++i) {
    if (data.transitions[i].at <= data.transitions[i - 1].at) return std::nullopt;
  }
  data.types.resize(h.typecnt);
  for (auto& type : data.types) {
    const std::int64_t offset = in.signed_big_endian(4);
    const std::uint64_t is_dst = in.big_endian(1);
    const std::uint64_t abbreviation = in.big_endian(1);
    if (offset < min_offset || offset > max_offset || is_dst > 1 || abbreviation >= h.charcnt) {
      return std::nullopt;
    }
    type.utc_offset = static_cast<std::int32_t>(offset);
    type.is_dst = is_dst == 1;
  }
  // Abbreviations, leap-second records and the standard/UT indicators say
  // nothing about offsets (zoneinfo ignores leap seconds too).
  in.take(h.charcnt + h.leapcnt * (time_size + 4) + h.isstdcnt + h.isutcnt);
  if (!in.ok()) return std::nullopt;
  return data;
}

}  // namespace

std::optional<TzifData> read_tzif(std::string_view bytes) {
  Reader in(bytes);
  const std::optional<Header> first = read_header(in);
  if (!first) return std::nullopt;
  if (first->version == '\0') return read_block(in, *first, 4);

  // Version 2 and later: skip the 32-bit block, read the 64-bit one and the
  // footer, a POSIX TZ string between two newlines.
  if (block_size(*first, 4) > in.remaining()) return std::nullopt;
  in.take(block_size(*first, 4));
  const std::optional<Header> second = read_header(in);
  if (!second) return std::nullopt;
  std::optional<TzifData> data = read_block(in, *second, 8);
  if (!data) return std::nullopt;
  if (in.take(1) != "\n") return std::nullopt;
  while (true) {
    const std::string_view c = in.take(1);
    if (!in.ok()) return std::nullopt;  // no closing newline
    if (c[0] == '\n') break;
    if (data->footer.size() >= 255) return std::nullopt;  // no real rule is this long
    data->footer += c[0];
  }
  return data;
}

}  // namespace tyvo::cron
