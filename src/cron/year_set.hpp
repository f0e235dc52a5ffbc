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

  constexpr void add(int year) noexcept { words_[static_cast<unsigned>(year) / 64] |= bit(year % 64); }

  // Every `step`-th year from `first` to `last`; a word at a time for the
  // common step of 1 ("*", ranges).
  constexpr void add_every(int first, int last, int step) noexcept {
    if (step != 1) {
      for (int year = first; year <= last; year += step) add(year);
      return;
    }
    const auto first_word = static_cast<unsigned>(first) / 64;
    const auto last_word = static_cast<unsigned>(last) / 64;
    for (unsigned word = first_word; word <= last_word; ++word) {
      const int low = word == first_word ? first % 64 : 0;
      const int high = word == last_word ? last % 64 : 63;
      words_[word] |= (~std::uint64_t{0} << low) & (~std::uint64_t{0} >> (63 - high));
    }
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

  // Largest allowed year at or below `from`, or -1 when none is left.
  constexpr int previous(int from) const noexcept {
    if (from > last_year) from = last_year;
    if (from < first_year) return -1;
    auto word = static_cast<unsigned>(from) / 64;
    int found = previous_set_bit(words_[word], from % 64);
    while (found < 0) {
      if (word == 0) return -1;
      found = previous_set_bit(words_[--word], 63);
    }
    return static_cast<int>(word * 64) + found;  // year 0 is never added
  }

 private:
  static constexpr unsigned word_count = last_year / 64 + 1;
  std::array<std::uint64_t, word_count> words_{};
};

}  // namespace tyvo::cron
