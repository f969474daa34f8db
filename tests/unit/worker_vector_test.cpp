#include "sim/worker/worker_vector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/common/manifest.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorError;
using norva_core::sim::SlotAnswer;
using norva_core::sim::VectorReset;
using norva_core::sim::WorkerOptions;
using norva_core::sim::WorkerProcess;
using norva_core::sim::WorkerVector;
using namespace std::chrono_literals;

class VectorTest : public ::testing::Test {
  protected:
    WorkerVector start(std::size_t count, const Json& env_init = Json::object(),
                       bool autoreset = true) {
        WorkerVector vector(folder, norva_core::sim::load_manifest(folder),
                            WorkerOptions{5s, true, nullptr}, count, autoreset);
        vector.make("env", env_init);
        return vector;
    }

    static std::vector<Json> actions(std::size_t count, double push = 0.5) {
        return std::vector<Json>(count, Json::array({push, 0.0}));
    }

    static const Json& result(const std::vector<SlotAnswer>& answers, std::size_t slot) {
        EXPECT_FALSE(answers.at(slot).error) << answers.at(slot).error->what();
        return answers.at(slot).result;
    }

    norva_test::TempDir dir;
    std::filesystem::path folder = norva_test::write_test_sim(dir.path(), "good");
};

TEST_F(VectorTest, SeededSimulatorsMatchSingleSessionsResetWithSeedPlusIndex) {
    auto vector = start(4);
    auto vectored = vector.reset({.seed = 40});
    auto stepped = vector.step(actions(4));
    for (std::size_t slot = 0; slot < 4; ++slot) {
        WorkerProcess single(folder, norva_core::sim::load_manifest(folder),
                             WorkerOptions{5s, true, nullptr});
        single.make("env", Json::object());
        auto alone = single.reset_with({.seed = 40 + slot});
        EXPECT_EQ(result(vectored, slot).at("observation"), alone.at("observation")) << slot;
        EXPECT_EQ(result(vectored, slot).at("info").at("seed"), 40 + slot);
        EXPECT_EQ(result(stepped, slot).at("observation"),
                  single.step(Json::array({0.5, 0.0})).at("observation"))
            << slot;
    }
    // The seeds differ, so do the starts: the vector did not hand everyone one seed.
    EXPECT_NE(result(vectored, 0).at("observation"), result(vectored, 1).at("observation"));

    auto listed = vector.reset({.seeds = std::vector<std::uint64_t>{7, 7, 9, 1}});
    EXPECT_EQ(result(listed, 0).at("observation"), result(listed, 1).at("observation"));
    EXPECT_EQ(result(listed, 3).at("info").at("seed"), 1);
    auto with_options = vector.reset({.options = Json{{"level", 2}}});
    EXPECT_EQ(result(with_options, 2).at("info").at("options"), (Json{{"level", 2}}));
    EXPECT_FALSE(result(with_options, 2).at("info").contains("seed"));
}

TEST_F(VectorTest, AutoresetStartsEachEndedEpisodeInTheSameStep) {
    // Seeds 0..3 give episodes of 3, 4, 5 and 6 steps.
    auto vector = start(4);
    vector.reset({.seed = 0});
    std::vector<int> ended_at(4, 0);
    for (int step = 1; step <= 6; ++step) {
        auto answers = vector.step(actions(4, 0.0));
        for (std::size_t slot = 0; slot < 4; ++slot) {
            const auto& answer = result(answers, slot);
            if (answer.at("terminated") != true) {
                EXPECT_FALSE(answer.at("info").contains("final_observation"));
                continue;
            }
            ended_at[slot] = step;
            const auto& info = answer.at("info");
            ASSERT_TRUE(info.contains("final_observation")) << info.dump();
            EXPECT_EQ(info.at("final_info"), Json::object());
            // The new episode starts unseeded, at the origin; the ended one stopped elsewhere.
            EXPECT_EQ(answer.at("observation").at("position"), Json::array({0.0, 0.0}));
            EXPECT_NE(info.at("final_observation").at("position"), Json::array({0.0, 0.0}));
            EXPECT_EQ(info.at("env_id"), "env");
        }
    }
    EXPECT_EQ(ended_at, (std::vector<int>{3, 4, 5, 6}));
    // The next step continues the new episode from where its reset put it.
    auto next = vector.step(actions(4, 1.0));
    EXPECT_EQ(result(next, 0).at("observation").at("position"), Json::array({1.0, 0.0}));
    EXPECT_EQ(result(next, 0).at("terminated"), false);
}

TEST_F(VectorTest, WithoutAutoresetAnEndedEpisodeIsLeftToTheCaller) {
    auto vector = start(2, Json::object(), false);
    vector.reset({.seed = 0});
    std::vector<SlotAnswer> answers;
    for (int step = 0; step < 3; ++step) {
        answers = vector.step(actions(2, 0.0));
    }
    EXPECT_EQ(result(answers, 0).at("terminated"), true);
    EXPECT_FALSE(result(answers, 0).at("info").contains("final_observation"));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({-5.0, -3.0}));
}

TEST_F(VectorTest, OneSimulatorFailingFailsItsSlotAlone) {
    auto vector = start(3, Json{{"crash_seed", 11}, {"refuse_seed", 12}});
    // Seed 10 starts at (5, 0); 11 crashes at its first step; 12 refuses every step.
    vector.reset({.seed = 10});
    auto answers = vector.step(actions(3));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({5.5, 0.0}));
    ASSERT_TRUE(answers[1].error);
    EXPECT_EQ(answers[1].error->kind(), SimulatorError::Kind::failed);
    EXPECT_NE(std::string(answers[1].error->what()).find("exit status 3"), std::string::npos)
        << answers[1].error->what();
    ASSERT_TRUE(answers[2].error);
    EXPECT_EQ(answers[2].error->kind(), SimulatorError::Kind::answered);
    EXPECT_STREQ(answers[2].error->what(), "step refused");

    // The refusal ended that episode: instead of this step its environment starts a new one,
    // unseeded, as a step that earned nothing.
    answers = vector.step(actions(3));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({6.0, 0.0}));
    EXPECT_EQ(answers[1].error->kind(), SimulatorError::Kind::failed);
    EXPECT_EQ(result(answers, 2).at("observation").at("position"), Json::array({0.0, 0.0}));
    EXPECT_EQ(result(answers, 2).at("reward"), 0);
    EXPECT_EQ(result(answers, 2).at("truncated"), false);
    EXPECT_EQ(result(vector.step(actions(3)), 2).at("observation").at("position"),
              Json::array({0.5, 0.0}));
    // The simulator that refused is still there and takes a reset with another seed.
    auto reset = vector.reset({.seeds = std::vector<std::uint64_t>{1, 1, 1}});
    EXPECT_FALSE(reset[2].error);
    EXPECT_TRUE(reset[1].error);
    EXPECT_FALSE(vector.step(actions(3))[2].error);
    auto failure = norva_core::sim::vector_calls::first_failure(reset);
    ASSERT_TRUE(failure);
    EXPECT_EQ(std::string(failure->what()).rfind("simulator 1 of the vector: ", 0), 0u)
        << failure->what();
}

TEST_F(VectorTest, WrongRequestsAreRefusedBeforeAnySimulatorIsCalled) {
    auto vector = start(2);
    EXPECT_THROW(vector.step(actions(3)), std::invalid_argument);
    EXPECT_THROW(vector.reset({.seeds = std::vector<std::uint64_t>{1}}), std::invalid_argument);
    EXPECT_THROW(vector.reset({.seed = 1, .seeds = std::vector<std::uint64_t>{1, 2}}),
                 std::invalid_argument);
    EXPECT_THROW(vector.reset({.seed = UINT64_MAX}), std::invalid_argument);
    EXPECT_FALSE(vector.reset({.seed = UINT64_MAX - 1})[1].error);
    EXPECT_THROW(WorkerVector(folder, norva_core::sim::load_manifest(folder),
                              WorkerOptions{5s, true, nullptr}, 0),
                 std::invalid_argument);
}

TEST_F(VectorTest, EachAnswerKeepsItsTimeLimit) {
    auto slow = norva_test::write_test_sim(dir.path(), "hang", "hanging");
    WorkerVector vector(slow, norva_core::sim::load_manifest(slow),
                        WorkerOptions{300ms, true, nullptr}, 2);
    vector.make("env", Json::object());
    vector.reset({});
    vector.step(actions(2));
    auto started = std::chrono::steady_clock::now();
    auto answers = vector.step(actions(2));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    for (const auto& answer : answers) {
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->kind(), SimulatorError::Kind::timed_out);
    }
}

// The same simulator with `instances` environments a process: a vector of 5 over processes of 2.
class BatchedVectorTest : public VectorTest {
  protected:
    WorkerVector start_batched(std::size_t count, std::size_t instances,
                               const Json& env_init = Json::object(),
                               const std::string& mode = "good") {
        auto batched = norva_test::write_batched_test_sim(dir.path(), mode, instances);
        WorkerVector vector(batched, norva_core::sim::load_manifest(batched),
                            WorkerOptions{5s, true, nullptr}, count);
        vector.make("env", env_init);
        return vector;
    }
};

TEST_F(BatchedVectorTest, EnvironmentsOfFewerProcessesAnswerAsOneProcessEachInSlotOrder) {
    auto single = start(5);
    auto batched = start_batched(5, 2);
    EXPECT_EQ(batched.processes(), 3u);
    auto expected = single.reset({.seed = 40});
    auto answered = batched.reset({.seed = 40});
    for (std::size_t slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(result(answered, slot), result(expected, slot)) << slot;
    }
    // Seeds 0..4 give episodes of 3 to 7 steps: some environments of a process end while its
    // others go on, and only those are reset.
    single.reset({.seed = 0});
    batched.reset({.seed = 0});
    for (int step = 1; step <= 8; ++step) {
        auto push = 0.25 * step;
        std::vector<Json> moves;
        for (std::size_t slot = 0; slot < 5; ++slot) {
            moves.push_back(Json::array({push, -0.5 * static_cast<double>(slot)}));
        }
        auto alone = single.step(moves);
        auto together = batched.step(moves);
        for (std::size_t slot = 0; slot < 5; ++slot) {
            EXPECT_EQ(result(together, slot), result(alone, slot))
                << "step " << step << " slot " << slot;
        }
    }
    auto listed = batched.reset({.seeds = std::vector<std::uint64_t>{7, 7, 9, 1, 3}});
    EXPECT_EQ(result(listed, 3).at("info").at("seed"), 1);
    EXPECT_EQ(result(listed, 4).at("info").at("seed"), 3);
}

TEST_F(BatchedVectorTest, AnEnvironmentsErrorIsItsOwnAndAProcessThatEndsFailsItsSlotsAlone) {
    // Seed 10 starts at (5, 0); 11 refuses every step; 12 ends its process at its first step.
    auto vector = start_batched(4, 2, Json{{"refuse_seed", 11}, {"crash_seed", 12}});
    vector.reset({.seed = 10});
    auto answers = vector.step(actions(4));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({5.5, 0.0}));
    ASSERT_TRUE(answers[1].error);
    EXPECT_EQ(answers[1].error->kind(), SimulatorError::Kind::answered);
    EXPECT_STREQ(answers[1].error->what(), "step refused");
    for (std::size_t slot : {2, 3}) {
        ASSERT_TRUE(answers[slot].error) << slot;
        EXPECT_EQ(answers[slot].error->kind(), SimulatorError::Kind::failed);
        EXPECT_NE(std::string(answers[slot].error->what()).find("exit status 3"), std::string::npos)
            << answers[slot].error->what();
    }
    // The refusal ended that episode: its environment alone starts a new one, and its neighbour
    // in the process goes on.
    answers = vector.step(actions(4));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({6.0, 0.0}));
    EXPECT_EQ(result(answers, 1).at("observation").at("position"), Json::array({0.0, 0.0}));
    EXPECT_EQ(result(answers, 1).at("reward"), 0);
    auto reset = vector.reset({.seeds = std::vector<std::uint64_t>{1, 1, 1, 1}});
    EXPECT_FALSE(reset[1].error);
    EXPECT_TRUE(reset[2].error);
    EXPECT_FALSE(vector.step(actions(4))[1].error);
}

TEST_F(BatchedVectorTest, AProcessAnsweringAnotherNumberOfResultsHasFailed) {
    auto vector = start_batched(3, 2, Json::object(), "wrongcount");
    vector.reset({});
    auto answers = vector.step(actions(3));
    for (std::size_t slot = 0; slot < 3; ++slot) {
        ASSERT_TRUE(answers[slot].error) << slot;
        EXPECT_EQ(answers[slot].error->kind(), SimulatorError::Kind::failed);
    }
    EXPECT_STREQ(answers[0].error->what(),
                 "the simulator answered 1 result to a 'step' of 2 environments");
    EXPECT_STREQ(answers[2].error->what(),
                 "the simulator answered 0 results to a 'step' of 1 environment");
}

}  // namespace
