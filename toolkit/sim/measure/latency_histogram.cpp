#include "sim/measure/latency_histogram.h"

#include <algorithm>
#include <cmath>

namespace norva_core::sim {
namespace {

constexpr double SMALLEST = 1e-7;
constexpr double GROWTH = 1.01;
const double LOG_GROWTH = std::log(GROWTH);
constexpr std::size_t BUCKETS = 2600;

std::size_t bucket_of(double seconds) {
    if (!(seconds > SMALLEST)) {
        return 0;
    }
    auto index = static_cast<std::size_t>(std::log(seconds / SMALLEST) / LOG_GROWTH) + 1;
    return std::min(index, BUCKETS - 1);
}

// The middle of a bucket, on the log scale.
double middle_of(std::size_t bucket) {
    return bucket == 0 ? SMALLEST : SMALLEST * std::pow(GROWTH, static_cast<double>(bucket) - 0.5);
}

}  // namespace

LatencyHistogram::LatencyHistogram() : buckets_(BUCKETS, 0) {}

void LatencyHistogram::record(double seconds) {
    ++buckets_[bucket_of(seconds)];
    ++count_;
    max_ = std::max(max_, seconds);
}

double LatencyHistogram::percentile(double quantile) const {
    if (count_ == 0) {
        return 0;
    }
    // Nearest rank: the smallest duration with at least this share at or below it.
    auto rank = static_cast<std::uint64_t>(
        std::ceil(std::clamp(quantile, 0.0, 1.0) * static_cast<double>(count_)));
    rank = std::max<std::uint64_t>(rank, 1);
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
        seen += buckets_[bucket];
        if (seen >= rank) {
            // The last bucket also holds everything beyond the scale.
            return bucket + 1 == buckets_.size() ? max_ : std::min(middle_of(bucket), max_);
        }
    }
    return max_;
}

}  // namespace norva_core::sim
