#include <gtest/gtest.h>

#include "norva_runner.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;
using norva_test::NorvaSandbox;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

class SimMeasuresTest : public testing::Test {
  protected:
    std::string sim(const std::string& mode) {
        return norva_test::write_test_sim(sandbox.dir().path(), mode, "sim-" + mode).string();
    }

    NorvaSandbox sandbox;
};

TEST_F(SimMeasuresTest, ValidateAsJsonListsEveryFindingAndTheSummary) {
    auto good = sandbox.run({"sim", "validate", sim("good"), "--json"});
    ASSERT_EQ(good.status, 0) << good.err;
    auto passed = Json::parse(good.out);
    EXPECT_EQ(passed.at("valid"), true);
    EXPECT_EQ(passed.at("summary").at("errors"), 0);
    EXPECT_EQ(passed.at("summary").at("warnings"), passed.at("findings").size());

    auto faulty = sandbox.run({"sim", "validate", sim("outside"), "--json"});
    EXPECT_EQ(faulty.status, 1);
    EXPECT_NE(faulty.err.find("Validation failed"), std::string::npos) << faulty.err;
    auto failed = Json::parse(faulty.out);
    EXPECT_EQ(failed.at("valid"), false);
    ASSERT_GE(failed.at("summary").at("errors").get<int>(), 1) << faulty.out;
    long errors = 0;
    for (const auto& finding : failed.at("findings")) {
        EXPECT_FALSE(finding.at("check").get<std::string>().empty());
        EXPECT_FALSE(finding.at("message").get<std::string>().empty());
        errors += finding.at("severity") == "error" ? 1 : 0;
    }
    EXPECT_EQ(failed.at("summary").at("errors"), errors);

    auto plain = sandbox.run({"sim", "validate", sim("outside")});
    EXPECT_FALSE(Json::accept(plain.out)) << "lines without --json";
}

TEST_F(SimMeasuresTest, BenchmarkAsJsonGivesRateAndLatencyWithoutWarmUp) {
    auto result = sandbox.run(
        {"sim", "benchmark", sim("coldstart"), "--samples", "40", "--warmup", "3", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    auto measured = Json::parse(result.out);
    EXPECT_EQ(measured.at("samples"), 40);
    EXPECT_EQ(measured.at("warmup"), 3);
    EXPECT_GT(measured.at("samples_per_second").get<double>(), 0);
    const auto& latency = measured.at("step_latency_ms");
    EXPECT_LE(latency.at("p50").get<double>(), latency.at("p90").get<double>());
    EXPECT_LE(latency.at("p90").get<double>(), latency.at("p99").get<double>());
    EXPECT_LE(latency.at("p99").get<double>(), latency.at("max").get<double>());
    // The three slow first steps (60 ms each) were the warm-up.
    EXPECT_LT(latency.at("max").get<double>(), 50) << result.out;

    auto cold = sandbox.run({"sim", "benchmark", sim("coldstart"), "--samples", "40", "--json"});
    ASSERT_EQ(cold.status, 0) << cold.err;
    EXPECT_GE(Json::parse(cold.out).at("step_latency_ms").at("max").get<double>(), 55);
}

TEST_F(SimMeasuresTest, BenchmarkLatencyIsASecondLineAndBadCountsAreRefused) {
    auto result = sandbox.run({"sim", "benchmark", sim("good"), "--samples", "30", "--latency"});
    ASSERT_EQ(result.status, 0) << result.err;
    auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    EXPECT_EQ(lines[0].rfind("Samples per second: ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Step latency: p50 ", 0), 0u) << lines[1];
    for (const char* part : {" ms, p90 ", " ms, p99 ", " ms, max "}) {
        EXPECT_NE(lines[1].find(part), std::string::npos) << lines[1];
    }

    auto negative = sandbox.run({"sim", "benchmark", sim("good"), "--warmup", "-1"});
    EXPECT_NE(negative.status, 0);
    EXPECT_NE(negative.err.find("--warmup"), std::string::npos) << negative.err;
}

TEST_F(SimMeasuresTest, BenchmarkShowsProgressOnATerminalAndLeavesItsLastLineClean) {
    auto on_terminal = sandbox.run_on_terminal({"sim", "benchmark", sim("slow"), "-s", "5"});
    ASSERT_EQ(on_terminal.status, 0) << on_terminal.out;
    const std::string& shown = on_terminal.out;
    auto bar = shown.find("Benchmarking ");
    ASSERT_NE(bar, std::string::npos) << shown;
    EXPECT_NE(shown.find(" steps/s · ", bar), std::string::npos) << shown;
    EXPECT_NE(shown.find(" left", bar), std::string::npos) << shown;
    auto result = shown.find("Samples per second: ");
    ASSERT_NE(result, std::string::npos) << shown;
    EXPECT_LT(bar, result);
    EXPECT_EQ(shown.substr(result - 5, 5), "\r\x1b[2K") << "the bar is cleared first";
    EXPECT_EQ(shown.find("Benchmarking", result), std::string::npos);

    auto json = sandbox.run_on_terminal({"sim", "benchmark", sim("slow"), "-s", "3", "--json"});
    ASSERT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(json.out.find("Benchmarking"), std::string::npos) << json.out;

    auto piped = sandbox.run({"sim", "benchmark", sim("slow"), "-s", "3"});
    EXPECT_EQ(lines_of(piped.out).size(), 1u) << piped.out;
    EXPECT_EQ(piped.out.find("Benchmarking"), std::string::npos);
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

}  // namespace
