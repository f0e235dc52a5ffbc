#include "cron/error.hpp"

namespace tyvo::cron {
namespace {

std::string display_text(Error::Kind kind, std::string_view detail) {
  using Kind = Error::Kind;
  const auto prefixed = [detail](std::string_view prefix) {
    std::string text{prefix};
    text += detail;
    return text;
  };
  switch (kind) {
    case Kind::EmptyPattern:
      return "CronPattern cannot be an empty string.";
    case Kind::InvalidDate:
      return "CronScheduler encountered an invalid date.";
    case Kind::InvalidTime:
      return "CronScheduler encountered an invalid time.";
    case Kind::TimeSearchLimitExceeded:
      return "CronScheduler time search limit exceeded.";
    case Kind::InvalidPattern:
      return prefixed("Invalid pattern: ");
    case Kind::IllegalCharacters:
      return prefixed("Pattern contains illegal characters: ");
    case Kind::ComponentError:
      return prefixed("Component error: ");
    case Kind::UnknownTimeZone:
      return prefixed("Unknown time zone: ");
  }
  return "CronScheduler encountered an unknown error.";
}

}  // namespace

Error::Error(Kind kind, std::string_view detail) : kind_(kind), text_(display_text(kind, detail)) {}

}  // namespace tyvo::cron
