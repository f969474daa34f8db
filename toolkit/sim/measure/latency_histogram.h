#pragma once

#include <cstdint>
#include <vector>

namespace norva_core::sim {

// Durations in buckets 1% wide on a log scale, from 100 ns to over 4 hours: percentiles of any
// number of steps in a few kilobytes, within 1% of the exact value.
class LatencyHistogram {
  public:
    LatencyHistogram();

    void record(double seconds);
    // The duration below which the share `quantile` (0 to 1) of the recorded ones lies.
    double percentile(double quantile) const;
    double max() const { return max_; }
    std::uint64_t count() const { return count_; }

  private:
    std::vector<std::uint64_t> buckets_;
    std::uint64_t count_ = 0;
    double max_ = 0;
};

}  // namespace norva_core::sim
