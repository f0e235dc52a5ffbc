#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <utility>

namespace tyvo::rt::testing {

// Records how many times each message value was destroyed. A value is "live"
// in exactly one Counted object at a time; moved-from shells do not count.
class Ledger {
 public:
  explicit Ledger(std::size_t values) : drops_(values) {}

  void dropped(int id) { drops_[static_cast<std::size_t>(id)].fetch_add(1); }
  int drops(int id) const { return drops_[static_cast<std::size_t>(id)].load(); }

  // True when every value 0..n-1 was destroyed exactly once.
  bool each_dropped_once() const {
    for (const auto& count : drops_) {
      if (count.load() != 1) return false;
    }
    return true;
  }

  // The first value not destroyed exactly once, or -1.
  int first_miscounted() const {
    for (std::size_t id = 0; id < drops_.size(); ++id) {
      if (drops_[id].load() != 1) return static_cast<int>(id);
    }
    return -1;
  }

  int total_drops() const {
    int total = 0;
    for (const auto& count : drops_) total += count.load();
    return total;
  }

 private:
  std::deque<std::atomic<int>> drops_;
};

// A move-only message that reports its destruction to a Ledger.
class Counted {
 public:
  Counted(Ledger& ledger, int id) noexcept : ledger_(&ledger), id_(id) {}
  Counted(Counted&& other) noexcept : ledger_(std::exchange(other.ledger_, nullptr)), id_(other.id_) {}
  Counted& operator=(Counted&& other) noexcept {
    if (this != &other) {
      drop();
      ledger_ = std::exchange(other.ledger_, nullptr);
      id_ = other.id_;
    }
    return *this;
  }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  ~Counted() { drop(); }

  int id() const noexcept { return id_; }

 private:
  void drop() noexcept {
    if (ledger_ != nullptr) std::exchange(ledger_, nullptr)->dropped(id_);
  }

  Ledger* ledger_;
  int id_;
};

}  // namespace tyvo::rt::testing
