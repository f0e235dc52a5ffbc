// "{}" placeholders filled in order, as in "Job {} is now shutdown".
#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace tyvo::log {

namespace detail {
inline void append_rest(std::ostringstream& out, std::string_view pattern) { out << pattern; }

template <class First, class... Rest>
void append_rest(std::ostringstream& out, std::string_view pattern, First&& first, Rest&&... rest) {
  const auto slot = pattern.find("{}");
  if (slot == std::string_view::npos) {
    out << pattern;
    return;
  }
  out << pattern.substr(0, slot) << first;
  append_rest(out, pattern.substr(slot + 2), std::forward<Rest>(rest)...);
}
}  // namespace detail

template <class... Args>
std::string format_message(std::string_view pattern, Args&&... args) {
  std::ostringstream out;
  detail::append_rest(out, pattern, std::forward<Args>(args)...);
  return out.str();
}

}  // namespace tyvo::log
