#include "cron/zone_prefix.hpp"

#include "cron/error.hpp"
#include "cron/pattern_text.hpp"

namespace tyvo::cron {
namespace {

std::size_t skip_white_space(std::string_view text, std::size_t at) noexcept {
  while (at < text.size()) {
    const std::size_t length = white_space_length(text, at);
    if (length == 0) break;
    at += length;
  }
  return at;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view upper_prefix) noexcept {
  if (text.size() < upper_prefix.size()) return false;
  for (std::size_t i = 0; i < upper_prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper_prefix[i]) return false;
  }
  return true;
}

// Length of the keyword with its "=" at the start of `text`, or 0.
std::size_t keyword_length(std::string_view text) noexcept {
  for (const std::string_view keyword : {std::string_view{"CRON_TZ="}, std::string_view{"TZ="}}) {
    if (starts_with_ignoring_case(text, keyword)) return keyword.size();
  }
  return 0;
}

}  // namespace

bool has_zone_prefix(std::string_view text) noexcept {
  return keyword_length(text.substr(skip_white_space(text, 0))) != 0;
}

ZonePrefix split_zone_prefix(std::string_view text) {
  const std::size_t keyword_at = skip_white_space(text, 0);
  const std::size_t keyword = keyword_length(text.substr(keyword_at));
  if (keyword == 0) return {std::nullopt, text};

  const std::size_t zone_at = keyword_at + keyword;
  std::size_t zone_end = zone_at;
  while (zone_end < text.size() && white_space_length(text, zone_end) == 0) ++zone_end;
  if (zone_end == zone_at) throw Error(Error::Kind::InvalidPattern, "Time zone prefix must name a time zone.");
  const std::string_view pattern = text.substr(zone_end);
  if (skip_white_space(pattern, 0) == pattern.size()) {
    throw Error(Error::Kind::InvalidPattern, "Time zone prefix must be followed by a pattern.");
  }
  return {text.substr(zone_at, zone_end - zone_at), pattern};
}

}  // namespace tyvo::cron
