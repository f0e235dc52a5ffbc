#pragma once

#include <array>
#include <cstdint>

#include "cron/bit_mask.hpp"

namespace tyvo::cron {

// The years a pattern allows, 1 to 5000: one bit per year, scanned a word at a
// time so that finding the next allowed year never walks year by year.
class YearSet {
 public:
  static constexpr int first_year = 1;
  static constexpr int last_year = 5000;

  constexpr void add(int year) noexcept {
    words_[static_cast<unsigned>(year) / 64] |= bit(year % 64);
  }

  constexpr bool contains(int year) const noexcept {
    if (year < first_year || year > last_year) return false;
    return (words_[static_cast<unsigned>(year) / 64] & bit(year % 64)) != 0;
  }

  // Smallest allowed year at or above `from`, or -1 when none is left.
  constexpr int next(int from) const noexcept {
    if (from < first_year) from = first_year;
    if (from > last_year) return -1;
    auto word = static_cast<unsigned>(from) / 64;
    int found = next_set_bit(words_[word], from % 64);
    while (found < 0) {
      if (++word == word_count) return -1;
      found = next_set_bit(words_[word], 0);
    }
    return static_cast<int>(word * 64) + found;
  }

 private:
  static constexpr unsigned word_count = last_year / 64 + 1;
  std::array<std::uint64_t, word_count> words_{};
};

}  // namespace tyvo::cron
