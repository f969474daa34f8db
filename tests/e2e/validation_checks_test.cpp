#include <gtest/gtest.h>

#include <fstream>

#include "norva_core/sim_errors.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim/common/simulator.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;
using norva_test::NorvaSandbox;

// Simulators with one fault each (tests/fixtures/faulty_sim.py), each caught by its check.
class ValidationChecksTest : public ::testing::Test {
  protected:
    ValidationChecksTest() { sandbox.set_env("NORVA_SIM_TIMEOUT", "1"); }

    // The system's interpreter: a version manager's shim on PATH takes half a second to start,
    // against the one-second answer limit here.
    std::string faulty(const std::string& fault) const {
        auto folder =
            sandbox.dir().path() / ("sim-" + (fault.empty() ? std::string("sound") : fault));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "norva-sim.toml")
            << "name = \"faulty\"\ndescription = \"one fault\"\ntype = \"sim\"\n"
               "version = \"0.1.0\"\ncommand = [\"/usr/bin/python3\", \""
            << FAULTY_SIM << "\", \"" << fault << "\"]\n";
        return folder.string();
    }

    // A run of a fixed few steps, unless `more` says otherwise: these simulators are Python
    // programs, and the default run would step each for seconds.
    Json validated(const std::string& target,
                   std::vector<std::string> more = {"--steps", "25"}) const {
        std::vector<std::string> args{"sim", "validate", target, "--json"};
        args.insert(args.end(), more.begin(), more.end());
        auto result = sandbox.run(args);
        EXPECT_EQ(result.status, Json::parse(result.out).at("valid") == true ? 0 : 1);
        return Json::parse(result.out);
    }

    NorvaSandbox sandbox;
};

// Each finding as "severity check: message".
std::vector<std::string> findings_of(const Json& report) {
    std::vector<std::string> found;
    for (const auto& finding : report.at("findings")) {
        found.push_back(finding.at("severity").get<std::string>() + " " +
                        finding.at("check").get<std::string>() + ": " +
                        finding.at("message").get<std::string>());
    }
    return found;
}

TEST_F(ValidationChecksTest, EachFaultIsCaughtByItsCheckAndNothingElse) {
    struct Case {
        const char* fault;
        const char* finding;
    };
    for (const auto& [fault, finding] : {
             Case{"nondeterministic",
                  "warning determinism: two simulators reset with seed 0 and given the same "
                  "actions differ at the reset: the observation is"},
             Case{"crash_above_high", "error bad-actions: a box value above its high ([3.0,"},
             Case{"crash_wrong_shape", "warning bad-actions: an action of the wrong shape ("},
             Case{"hang_nan", "warning bad-actions: NaN in a box ([NaN,"},
             Case{"leak_memory", "warning resources: resident memory grew by 1.0"},
             Case{"leak_files", "warning resources: open file descriptors grew by 1.0 an episode"},
             Case{"high_below_low",
                  "error action_space: the space is not well formed: 'low' must not be above "
                  "'high' (element 0: low 1.0, high -1.0)"},
             Case{"crash_after_end",
                  "warning episode: a step after the episode ended, without a reset, ended or "
                  "hung the simulator: the simulator ended (exit status 6)"},
             Case{"float_discrete",
                  "error reset: the observation is not inside the sensor space: gear: 1.5 where "
                  "a whole number is declared"},
             Case{"crash_episode_3",
                  "error step: the simulator ended (exit status 7) before it answered 'step' "
                  "(after a reset without a seed, 2 episodes into a run begun with seed 0, and "
                  "the actions [["},
             Case{"unrounded", "warning precision: the reset: position[0] is "},
         }) {
        SCOPED_TRACE(fault);
        auto found = findings_of(validated(faulty(fault)));
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.front().rfind(finding, 0), 0u) << found.front();
        auto check = found.front().substr(0, found.front().find(':'));
        for (const auto& other : found) {
            EXPECT_EQ(other.substr(0, other.find(':')).substr(other.find(' ')),
                      check.substr(check.find(' ')))
                << "a finding of another check: " << other;
        }
    }
}

// A batched simulator is also made with several environments in one process, each compared with
// a simulator alone: the sound one passes every check, and each batched fault is caught by its own.
TEST_F(ValidationChecksTest, EachBatchedFaultIsCaughtByItsCheckAndTheSoundOnePasses) {
    auto path = [&](const std::string& mode) {
        return norva_test::write_batched_test_sim(sandbox.dir().path(), mode, 4).string();
    };
    auto sound = validated(path("good"));
    EXPECT_EQ(sound.at("findings"), Json::array()) << sound.dump();
    std::vector<std::string> ran;
    for (const auto& check : sound.at("checks")) {
        ran.push_back(check.at("check"));
    }
    EXPECT_EQ(std::vector<std::string>(ran.begin() + 11, ran.end() - 2),
              (std::vector<std::string>{"batch", "independence", "batch-errors", "partial-reset"}));
    struct Case {
        const char* mode;
        const char* finding;
    };
    for (const auto& [mode, finding] : {
             Case{"wrongcount",
                  "error batch: the simulator answered 3 results to a 'step' of 4 "
                  "environments"},
             Case{"shared",
                  "error independence: environment 1 of 4 differs from a simulator "
                  "alone at its step 1: the observation is"},
             Case{"wholeerror",
                  "error batch-errors: environment 0's wrong action at step 2 "
                  "refused the step of all 4 (the action must be two numbers)"},
             Case{"resetall",
                  "error partial-reset: environment 0 of 4 differs from a simulator "
                  "alone at its step 3"},
         }) {
        SCOPED_TRACE(mode);
        auto found = findings_of(validated(path(mode)));
        ASSERT_EQ(found.size(), 1u) << found.front();
        EXPECT_EQ(found.front().rfind(finding, 0), 0u) << found.front();
    }
}

// A fault deep in a few episodes is reached by the default run, which steps for seconds over
// many seeds; a run of a fixed few steps misses it.
TEST_F(ValidationChecksTest, TheDefaultRunLooksLongEnoughToReachTheWalls) {
    auto walls = norva_test::write_test_sim(sandbox.dir().path(), "walls").string();
    auto found = findings_of(validated(walls, {}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found.front().find("error step: step "), std::string::npos) << found.front();
    EXPECT_NE(found.front().find("position[0]: 10.5 above high 10.0 (after a reset with seed "),
              std::string::npos)
        << found.front();
    EXPECT_EQ(validated(walls, {"--steps", "25"}).at("valid"), true);
}

TEST_F(ValidationChecksTest, StrictFailsOnWarnings) {
    auto warned = faulty("crash_wrong_shape");
    EXPECT_EQ(validated(warned, {"--steps", "25"}).at("valid"), true);
    auto strict = validated(warned, {"--steps", "25", "--strict"});
    EXPECT_EQ(strict.at("valid"), false);
    EXPECT_EQ(strict.at("summary").at("errors"), 0);
    EXPECT_EQ(validated(faulty(""), {"--steps", "25", "--strict"}).at("valid"), true);
}

TEST_F(ValidationChecksTest, ASoundSimulatorRunsEveryCheckWithoutAFinding) {
    auto report = validated(faulty(""));
    EXPECT_EQ(report.at("findings"), Json::array()) << report.dump();
    std::vector<std::string> ran;
    for (const auto& check : report.at("checks")) {
        EXPECT_EQ(check.at("outcome"), "passed");
        ran.push_back(check.at("check"));
    }
    EXPECT_EQ(ran,
              (std::vector<std::string>{"manifest", "make", "sensor_space", "action_space", "reset",
                                        "step", "precision", "episode", "timing", "leftovers",
                                        "determinism", "bad-actions", "resources"}));
}

TEST_F(ValidationChecksTest, LegalButUselessSpacesAreWarnedOfAndEmptyOnesRefused) {
    auto report = validated(faulty("odd_spaces"));
    EXPECT_EQ(findings_of(report),
              (std::vector<std::string>{
                  "warning sensor_space: velocity: its bounds are infinite; trainers scale "
                  "observations and actions by their bounds, so give the range the values "
                  "really take",
                  "error sensor_space: extras: a dict with no spaces holds nothing",
                  "warning action_space: the space: actions range from -5.0 to 5.0; trainers' "
                  "policies give actions within [-1, 1], so scale them in the simulator"}));
    // A finding of one check leaves the others to run: a script sees what each came to.
    auto checks = report.at("checks");
    EXPECT_EQ(checks.at(2), (Json{{"check", "sensor_space"}, {"outcome", "error"}}));
    EXPECT_EQ(checks.at(3), (Json{{"check", "action_space"}, {"outcome", "warning"}}));
    EXPECT_EQ(checks.back(), (Json{{"check", "resources"}, {"outcome", "passed"}}));
}

TEST_F(ValidationChecksTest, TheSameSeedReportsTheSameAndAFailingStepNamesItsActions) {
    // The test simulator in "crash" mode ends at its second step.
    auto crash = norva_test::write_test_sim(sandbox.dir().path(), "crash", "crash");
    auto first = sandbox.run({"sim", "validate", crash.string(), "--seed", "7"});
    auto again = sandbox.run({"sim", "validate", crash.string(), "--seed", "7"});
    EXPECT_EQ(first.out, again.out);
    EXPECT_NE(first.out.find("error   step: the simulator ended (exit status 3) before it "
                             "answered 'step' (after a reset with seed 7 and the actions [["),
              std::string::npos)
        << first.out;

    auto steps = sandbox.run({"sim", "validate", crash.string(), "--steps", "0"});
    EXPECT_EQ(steps.status, 1);
    EXPECT_NE(steps.err.find("Invalid value for '--steps': 0 is not a positive number of steps."),
              std::string::npos)
        << steps.err;
}

TEST_F(ValidationChecksTest, BadActionChecksLeaveNoSimulatorBehind) {
    auto log = sandbox.dir() / "sims.log";
    sandbox.set_env("TEST_SIM_LOG", log);
    auto good = norva_test::write_test_sim(sandbox.dir().path(), "good");
    auto result = sandbox.run({"sim", "validate", good.string()});
    EXPECT_EQ(result.out, "Validation found no issues.\n");
    auto pids = norva_test::logged_pids(log);
    EXPECT_GE(pids.size(), 5u) << "the main run, two for determinism, bad actions, resources";
    for (pid_t pid : pids) {
        EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
    }
}

TEST_F(ValidationChecksTest, AServerHoldingOneSessionLeavesDeterminismUncheckedNotFailed) {
    norva_test::ServedSim server(sandbox, faulty(""),
                                 {"--protocol", "http", "--max-sessions", "1"});
    auto report = validated("http://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(report.at("valid"), true);
    EXPECT_EQ(findings_of(report),
              (std::vector<std::string>{
                  "warning determinism: not checked: two simulators to compare could not be "
                  "made (the server holds its most sessions (1, --max-sessions); close one or "
                  "try again later)"}));
}

}  // namespace
