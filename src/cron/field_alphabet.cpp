#include "cron/field_alphabet.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "cron/error.hpp"

namespace tyvo::cron {
namespace {

bool allowed(char c, FieldIndex index) noexcept {
  if ((c >= '0' && c <= '9') || c == '*' || c == '/' || c == ',' || c == '-') return true;
  if (index == kDayOfMonth) return c == 'L' || c == 'W' || c == '?';
  if (index == kDayOfWeek) return c == 'L' || c == '#' || c == '?';
  return false;
}

// Length of the well-formed UTF-8 sequence at `at`, or 0 if it is malformed.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{0};
  };
  const auto continuation = [&](std::size_t i, std::uint8_t low = 0x80, std::uint8_t high = 0xBF) {
    return byte(i) >= low && byte(i) <= high;
  };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const std::uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
    const std::uint8_t high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    return continuation(at + 1, low, high) && continuation(at + 2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const std::uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
    return continuation(at + 1, low, high) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string valid;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_sequence_length(text, at);
    if (length == 0) {
      valid += "\xEF\xBF\xBD";
      ++at;
    } else {
      valid += text.substr(at, length);
      at += length;
    }
  }
  return valid;
}

void check_field_alphabet(std::string_view field, FieldIndex index) {
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (allowed(field[at], index)) continue;
    const std::size_t length = std::max<std::size_t>(utf8_sequence_length(field, at), 1);
    std::string detail = "CronPattern contains illegal character '";
    detail += valid_utf8(field.substr(at, length));
    detail += "' in part '";
    detail += valid_utf8(field);
    detail += "'";
    throw Error(Error::Kind::IllegalCharacters, detail);
  }
}

}  // namespace tyvo::cron
