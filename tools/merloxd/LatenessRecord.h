// The lateness of the last feeds against their schedule, kept in a fixed ring so
// that a guard running for months uses no more memory than on its first day.
#pragma once

#include <cstddef>
#include <vector>

#include "GuardStatus.h"

namespace merloxd {

class LatenessRecord {
 public:
  static constexpr size_t kSamples = 4096;

  void Add(double milliseconds);
  // Percentiles of what is kept; all 0 before the first feed.
  FeedLateness Summary() const;

 private:
  std::vector<double> ring_ = std::vector<double>(kSamples);
  size_t next_ = 0;
  size_t count_ = 0;
};

}  // namespace merloxd
