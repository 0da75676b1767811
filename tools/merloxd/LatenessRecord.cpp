#include "LatenessRecord.h"

#include <algorithm>
#include <cmath>

namespace merloxd {

void LatenessRecord::Add(double milliseconds) {
  ring_[next_] = milliseconds;
  next_ = (next_ + 1) % kSamples;
  count_ = std::min(count_ + 1, kSamples);
}

FeedLateness LatenessRecord::Summary() const {
  FeedLateness summary;
  summary.samples = count_;
  if (count_ == 0) return summary;
  std::vector<double> sorted(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(count_));
  std::sort(sorted.begin(), sorted.end());
  // The nearest rank: the smallest sample that at least p of them do not exceed.
  const auto rank = [&sorted](double p) {
    const auto index = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(index, 1) - 1];
  };
  summary.p50 = rank(0.50);
  summary.p99 = rank(0.99);
  summary.max = sorted.back();
  return summary;
}

}  // namespace merloxd
