// The median time of one call, timed call by call: what the round-trip figures of
// both builds report (bench/MerloxBench.cpp, bench/WineRoundTrip.cpp).
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace merlox::bench {

// Calls that take less than the clock's step (0.1 us under Wine) are timed in
// batches of `batch` calls, each batch's time divided among its calls.
template <class Call>
double MedianMicroseconds(int calls, Call call, int batch = 1) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(calls / batch + 1));
  for (int i = 0; i < calls; i += batch) {
    const auto start = std::chrono::steady_clock::now();
    for (int j = 0; j < batch; ++j) call();
    times.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        batch);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace merlox::bench
