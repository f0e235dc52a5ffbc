// Random pattern texts over the whole dialect, most of them valid, for tests
// that hold one search against another.
#pragma once

#include <random>
#include <string>

namespace tyvo::cron::testing {

class PatternGenerator {
 public:
  explicit PatternGenerator(unsigned seed) : random_(seed) {}

  std::string pattern() {
    std::string text;
    const int field_count = pick(5, 7);
    if (field_count >= 6) text += field(0, 59) + " ";
    text += field(0, 59) + " " + field(0, 23) + " " + day_of_month() + " " + month() + " " + day_of_week();
    if (field_count == 7) text += " " + year();
    return text;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(int percent) { return pick(1, 100) <= percent; }
  std::string number(int low, int high) { return std::to_string(pick(low, high)); }

  std::string part(int low, int high) {
    const int a = pick(low, high);
    const int b = pick(a, high);
    switch (pick(0, 5)) {
      case 0:
        return std::to_string(a);
      case 1:
        return std::to_string(a) + "-" + std::to_string(b);
      case 2:
        return "*/" + number(1, high - low + 2);
      case 3:
        return std::to_string(a) + "/" + number(1, 20);
      case 4:
        return std::to_string(a) + "-" + std::to_string(b) + "/" + number(1, 10);
      default:
        return std::to_string(a);
    }
  }

  std::string list(int low, int high, const auto& special) {
    std::string text;
    const int parts = chance(70) ? 1 : pick(2, 3);
    for (int i = 0; i < parts; ++i) {
      if (i > 0) text += ",";
      text += special();
      if (text.empty() || text.back() == ',') text += part(low, high);
    }
    return text;
  }

  std::string field(int low, int high) {
    if (chance(40)) return "*";
    return list(low, high, [] { return std::string{}; });
  }

  std::string day_of_month() {
    if (chance(35)) return chance(80) ? "*" : "?";
    return list(1, 31, [this]() -> std::string {
      if (chance(15)) return "L";
      if (chance(20)) return number(1, 31) + "W";
      return {};
    });
  }

  std::string month() {
    static const char* const names[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (chance(50)) return "*";
    if (chance(20)) return names[pick(0, 11)];
    return field(1, 12);
  }

  std::string day_of_week() {
    static const char* const names[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
    if (chance(40)) return chance(80) ? "*" : "?";
    std::string text = chance(30) ? "+" : "";
    return text + list(0, 7, [this]() -> std::string {
             if (chance(10)) return "L";
             if (chance(20)) return number(0, 7) + "#" + number(1, 5);
             if (chance(15)) return number(0, 7) + "L";
             if (chance(15)) return names[pick(0, 6)];
             return {};
           });
  }

  std::string year() {
    if (chance(50)) return "*";
    return list(2000, 2110, [] { return std::string{}; });
  }

  std::mt19937 random_;
};

}  // namespace tyvo::cron::testing
