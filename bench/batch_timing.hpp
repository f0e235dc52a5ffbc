// Per-call timings of sub-microsecond operations, shared by the native benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace tyvo::bench {

struct Summary {
  double median_ns;
  double p99_ns;
  double max_ns;
};

// Times `samples` batches of `batch` calls; each sample is one batch's average, so clock
// overhead stays out of the figures. `operation` gets the call's running index.
template <class Operation>
Summary measure(int samples, int batch, Operation&& operation) {
  using namespace std::chrono;
  std::vector<double> per_call;
  per_call.reserve(static_cast<std::size_t>(samples));
  for (int sample = 0; sample < samples; ++sample) {
    const auto begin = steady_clock::now();
    for (int i = 0; i < batch; ++i) operation(sample * batch + i);
    const auto end = steady_clock::now();
    per_call.push_back(static_cast<double>(duration_cast<nanoseconds>(end - begin).count()) / batch);
  }
  std::sort(per_call.begin(), per_call.end());
  const auto at = [&](double q) {
    return per_call[static_cast<std::size_t>(q * static_cast<double>(per_call.size() - 1))];
  };
  return {at(0.5), at(0.99), per_call.back()};
}

}  // namespace tyvo::bench
