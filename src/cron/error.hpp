#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tyvo::cron {

// A refused pattern or a failed search. what() is the display text users see,
// word for word, so callers pass it through unchanged.
class Error : public std::exception {
 public:
  enum class Kind {
    EmptyPattern,
    InvalidPattern,
    IllegalCharacters,
    ComponentError,
    InvalidDate,
    InvalidTime,
    TimeSearchLimitExceeded,
    UnknownTimeZone,
  };

  // `detail` is the inner text of InvalidPattern, IllegalCharacters and
  // ComponentError, and the zone's name for UnknownTimeZone; the other kinds
  // have fixed texts and ignore it.
  explicit Error(Kind kind, std::string_view detail = {});

  Kind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return text_.c_str(); }

  // The display text with its exact length: a pattern may carry a NUL
  // character into an illegal-character message, which what() would cut short.
  std::string_view text() const noexcept { return text_; }

 private:
  Kind kind_;
  std::string text_;
};

}  // namespace tyvo::cron
