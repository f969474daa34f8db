#include "sim/validate/validation_run.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using norva_core::Space;
using norva_core::sim::Json;
using norva_core::sim::ResetOptions;
using norva_core::sim::Simulator;
using norva_core::sim::SimulatorError;
using norva_core::sim::validation::check_determinism;
using norva_core::sim::validation::Opened;
using norva_core::sim::validation::Opener;
using norva_core::sim::validation::run_group;
using norva_core::sim::validation::Severity;
using norva_core::sim::validation::Spaces;
using norva_core::sim::validation::ValidationOptions;
using Findings = norva_core::sim::validation::Run;

// A simulator in this process: its observation is its seed plus its steps, and `drift` more
// for each simulator opened before it when it drifts; its make fails when told to.
class CountingSimulator final : public Simulator {
  public:
    CountingSimulator(int drift, bool refuse_make) : drift_(drift), refuse_make_(refuse_make) {}
    void make(const std::string&, const Json&) override {
        if (refuse_make_) {
            throw SimulatorError(SimulatorError::Kind::failed, "no room");
        }
    }
    Json sensor_space() override {
        return Json::parse(R"({"type": "box", "low": 0, "high": 100, "shape": [1]})");
    }
    Json action_space() override { return Json::parse(R"({"type": "discrete", "n": 2})"); }
    Json reset_with(const ResetOptions& options) override {
        value_ = static_cast<int>(options.seed.value_or(0)) + drift_;
        return {{"observation", {value_}}, {"info", Json::object()}};
    }
    Json step(const Json&) override {
        ++value_;
        return {{"observation", {value_}},
                {"reward", 1},
                {"terminated", value_ % 10 == 0},
                {"truncated", false},
                {"info", Json::object()}};
    }
    void close() override {}

  private:
    int drift_;
    bool refuse_make_;
    int value_ = 0;
};

struct Fixture {
    Opener opener(int drift_each, bool refuse_second = false) {
        return [this, drift_each, refuse_second] {
            int number = opened++;
            return Opened{std::make_unique<CountingSimulator>(number * drift_each,
                                                              refuse_second && number == 1),
                          nullptr};
        };
    }
    int opened = 0;
    Spaces spaces{
        Space::from_json(Json::parse(R"({"type": "box", "low": 0, "high": 100, "shape": [1]})")),
        Space::from_json(Json::parse(R"({"type": "discrete", "n": 2})"))};
    ValidationOptions options{.seed = 7, .steps = 25, .budget = {}, .strict = false};
};

TEST(ValidationRun, AFatalFindingEndsItsGroupAloneAndATimeoutIsATimingFinding) {
    Findings run;
    bool rest_of_group = false;
    run_group([&] {
        run.call("reset", [&]() -> Json {
            throw SimulatorError(SimulatorError::Kind::timed_out, "no answer in 1 s");
        });
        rest_of_group = true;
    });
    bool next_group = false;
    run_group([&] {
        run.call("step", [] { return Json(1); });
        next_group = true;
    });
    EXPECT_FALSE(rest_of_group);
    EXPECT_TRUE(next_group);
    ASSERT_EQ(run.issues.size(), 1u);
    EXPECT_EQ(run.issues[0].check, "timing");
    EXPECT_EQ(run.issues[0].severity, Severity::error);
    EXPECT_EQ(run.checks, std::vector<std::string>{"timing"})
        << "a check is counted where it says it ran";
}

TEST(ValidationRun, CallsAddTheirContextOnlyWhenTheyFail) {
    Findings run;
    int asked = 0;
    auto context = [&] {
        ++asked;
        return std::string(" (after step 3)");
    };
    run_group([&] {
        run.call(
            "step", [] { return Json(1); }, context);
    });
    EXPECT_EQ(asked, 0);
    run_group([&] {
        run.call(
            "step",
            [&]() -> Json { throw SimulatorError(SimulatorError::Kind::failed, "it ended"); },
            context);
    });
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(run.issues.size(), 1u);
    EXPECT_TRUE(run.found_with("(after step 3)")) << run.issues[0].message;
    EXPECT_TRUE(run.found("step"));
}

TEST(ValidationDeterminism, AgreeingSimulatorsPassAndDriftingOnesAreNamedAtTheirFirstDifference) {
    Fixture same;
    Findings agreeing;
    run_group([&] { check_determinism(agreeing, same.opener(0), same.spaces, same.options); });
    EXPECT_TRUE(agreeing.issues.empty()) << agreeing.issues[0].message;
    EXPECT_EQ(agreeing.checks, std::vector<std::string>{"determinism"});

    Fixture drifting;
    Findings differing;
    run_group([&] {
        check_determinism(differing, drifting.opener(1), drifting.spaces, drifting.options);
    });
    ASSERT_EQ(differing.issues.size(), 1u);
    EXPECT_EQ(differing.issues[0].severity, Severity::warning);
    EXPECT_NE(differing.issues[0].message.find("reset with seed 7"), std::string::npos);
    EXPECT_NE(differing.issues[0].message.find("differ at the reset: the observation is [7] in "
                                               "one and [8] in the other"),
              std::string::npos)
        << differing.issues[0].message;
}

TEST(ValidationDeterminism, ASecondSimulatorThatCannotBeMadeLeavesTheCheckUndone) {
    Fixture fixture;
    Findings run;
    run_group(
        [&] { check_determinism(run, fixture.opener(0, true), fixture.spaces, fixture.options); });
    ASSERT_EQ(run.issues.size(), 1u);
    EXPECT_EQ(run.issues[0].severity, Severity::warning);
    EXPECT_NE(run.issues[0].message.find("not checked"), std::string::npos);
    EXPECT_NE(run.issues[0].message.find("no room"), std::string::npos);
}

}  // namespace
