#include <gtest/gtest.h>

#include <random>

#include "norva_core/console.h"
#include "sim/measure/latency_histogram.h"

namespace {

using norva_core::console::ProgressUnit;
using norva_core::console::render_progress;

TEST(ProgressLine, ShowsShareCountRateAndTimeLeft) {
    std::string line = render_progress("Benchmarking", ProgressUnit::steps, 250, 1000, 500);
    EXPECT_EQ(line.rfind("Benchmarking ", 0), 0u) << line;
    EXPECT_NE(line.find(" 25% 250/1000 steps · 500 steps/s · 0:02 left"), std::string::npos)
        << line;
}

TEST(ProgressLine, BytesInBinaryUnitsAndAnUnknownTotalWithoutABar) {
    std::string line =
        render_progress("Uploading", ProgressUnit::bytes, 3 << 20, 12 << 20, 3 << 20);
    EXPECT_NE(line.find(" 25% 3.0 MiB/12.0 MiB · 3.0 MiB/s · 0:03 left"), std::string::npos)
        << line;
    EXPECT_EQ(render_progress("Uploading", ProgressUnit::bytes, 512, 0, 512),
              "Uploading 512 B · 512 B/s");
}

TEST(ProgressLine, NothingDoneYetHasNoRateAndMoreThanTheTotalIsTheTotal) {
    std::string start = render_progress("Benchmarking", ProgressUnit::steps, 0, 10, 0.0);
    EXPECT_NE(start.find("  0% 0/10 steps · – steps/s · –:–– left"), std::string::npos) << start;
    std::string over = render_progress("Benchmarking", ProgressUnit::steps, 12, 10, 6);
    EXPECT_NE(over.find("100% 10/10 steps"), std::string::npos) << over;
    EXPECT_NE(over.find("0:00 left"), std::string::npos) << over;
}

TEST(LatencyHistogram, PercentilesAreWithinOnePercentAndTheMaximumIsExact) {
    norva_core::sim::LatencyHistogram histogram;
    std::vector<double> recorded;
    std::mt19937 generator(7);
    std::lognormal_distribution<double> durations(std::log(50e-6), 1.0);
    for (int i = 0; i < 20000; ++i) {
        recorded.push_back(durations(generator));
        histogram.record(recorded.back());
    }
    std::sort(recorded.begin(), recorded.end());
    for (double quantile : {0.5, 0.9, 0.99}) {
        double exact = recorded[static_cast<std::size_t>(std::ceil(quantile * 20000)) - 1];
        EXPECT_NEAR(histogram.percentile(quantile), exact, exact * 0.01) << quantile;
    }
    EXPECT_EQ(histogram.max(), recorded.back());
    EXPECT_EQ(histogram.count(), 20000u);
}

TEST(LatencyHistogram, EmptyTinyAndHugeDurationsStayInRange) {
    norva_core::sim::LatencyHistogram histogram;
    EXPECT_EQ(histogram.percentile(0.5), 0);
    histogram.record(0);
    histogram.record(1e6);
    EXPECT_LE(histogram.percentile(0.5), 1e-7);
    EXPECT_EQ(histogram.percentile(1.0), 1e6) << "beyond the last bucket the maximum is used";
}

}  // namespace
