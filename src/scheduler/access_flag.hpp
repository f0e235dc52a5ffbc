// Refuses, instead of waiting for, a call that conflicts with one already in progress on the same
// Scheduler (Python code run during a call that calls back in, or another thread).
#pragma once

#include "python/errors.hpp"

namespace tyvo::py {

class AccessFlag {
 public:
  class Hold {
   public:
    explicit Hold(int& state, int release) noexcept : state_(state), release_(release) {}
    ~Hold() { state_ += release_; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    int& state_;
    int release_;
  };

  // Only ever touched with the interpreter lock held, so a plain int is enough.
  [[nodiscard]] Hold exclusive() {
    if (state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
    state_ = -1;
    return Hold(state_, 1);
  }
  [[nodiscard]] Hold shared() {
    if (state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++state_;
    return Hold(state_, -1);
  }

 private:
  int state_ = 0;  // -1: held exclusively; n > 0: held shared n times
};

}  // namespace tyvo::py
