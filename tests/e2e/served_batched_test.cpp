// Vectors of a batched simulator served by `norva sim run`: fewer processes, each holding several
// environments, and on the wire the same answers as a simulator of one environment a process.
#include <gtest/gtest.h>

#include "curl_call.h"
#include "norva_core/process.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorError;
using norva_core::sim::SimulatorVector;
using norva_core::sim::SlotAnswer;

class ServedBatchedTest : public ::testing::TestWithParam<std::string> {
  protected:
    ServedBatchedTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    // The test simulator with two environments a process, or one.
    norva_test::ServedSim serve(std::size_t instances, const std::string& mode = "good",
                                std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--protocol", GetParam()});
        auto folder = instances > 1 ? norva_test::write_batched_test_sim(sandbox.dir().path(), mode,
                                                                         instances)
                                    : norva_test::write_test_sim(sandbox.dir().path(), mode);
        return {sandbox, folder.string(), options};
    }

    std::unique_ptr<SimulatorVector> vector(const norva_test::ServedSim& server, std::size_t count,
                                            const Json& env_init = Json::object()) const {
        norva_core::sim::Address address{"127.0.0.1", server.port()};
        auto made = GetParam() == "grpc" ? norva_core::sim::connect_grpc_vector(address, count)
                                         : norva_core::sim::connect_http_vector(address, count);
        made->make("vector", env_init);
        return made;
    }

    static std::vector<Json> moves(std::size_t count, int step) {
        std::vector<Json> actions;
        for (std::size_t slot = 0; slot < count; ++slot) {
            actions.push_back(Json::array({0.25 * step, -0.5 * static_cast<double>(slot)}));
        }
        return actions;
    }

    static const Json& result(const std::vector<SlotAnswer>& answers, std::size_t slot) {
        EXPECT_FALSE(answers.at(slot).error) << slot << ": " << answers.at(slot).error->what();
        return answers.at(slot).result;
    }

    norva_test::NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
};

TEST_P(ServedBatchedTest, FewerProcessesAnswerAsOneProcessAnEnvironment) {
    std::vector<std::vector<SlotAnswer>> answered;
    for (std::size_t instances : {1, 2}) {
        auto server = serve(instances);
        auto envs = vector(server, 5);
        std::vector<SlotAnswer> seen = envs->reset({.seed = 0});
        // Seeds 0..4 end their episodes after 3 to 7 steps, some environments of a process
        // while the others go on.
        for (int step = 1; step <= 8; ++step) {
            auto stepped = envs->step(moves(5, step));
            seen.insert(seen.end(), stepped.begin(), stepped.end());
        }
        answered.push_back(std::move(seen));
        envs->close();
        EXPECT_EQ(server.stop().status, 0);
    }
    ASSERT_EQ(answered[0].size(), answered[1].size());
    for (std::size_t k = 0; k < answered[0].size(); ++k) {
        EXPECT_EQ(result(answered[1], k), result(answered[0], k)) << "answer " << k;
    }
    // Five processes for the simulator of one environment each, then three of up to two.
    EXPECT_EQ(norva_test::logged_pids(log).size(), 5u + 3u);
}

TEST_P(ServedBatchedTest, AProcessThatEndsFailsItsSlotsAloneAndANewOneTakesThemOver) {
    auto server = serve(2, "good", {"--max-sessions", "6"});
    // Seed 12 ends its process at its first step: slots 2 and 3, and only those.
    auto envs = vector(server, 4, Json{{"crash_seed", 12}});
    envs->reset({.seed = 10});
    EXPECT_EQ(norva_test::logged_pids(log).size(), 2u);
    auto answers = envs->step(moves(4, 1));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({5.25, 0.0}));
    EXPECT_FALSE(answers[1].error);
    for (std::size_t slot : {2, 3}) {
        ASSERT_TRUE(answers[slot].error) << slot;
        EXPECT_EQ(answers[slot].error->kind(), SimulatorError::Kind::failed);
        EXPECT_NE(std::string(answers[slot].error->what()).find("exit status 3"), std::string::npos)
            << answers[slot].error->what();
    }
    // With autoreset the next step starts one process for both: their new episodes' first
    // observations, which earned nothing.
    answers = envs->step(moves(4, 1));
    EXPECT_EQ(norva_test::logged_pids(log).size(), 3u);
    for (std::size_t slot : {2, 3}) {
        EXPECT_EQ(result(answers, slot).at("reward"), 0) << slot;
        EXPECT_EQ(result(answers, slot).at("observation").at("position"), Json::array({0.0, 0.0}));
    }
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({5.5, 0.0}));
    // Four environments are four sessions, in two processes, whatever their processes hold.
    if (GetParam() == "http") {
        EXPECT_EQ(norva_test::metric(server.port(), "norva_sim_sessions_open"), 4);
        EXPECT_EQ(norva_test::metric(server.port(), "norva_sim_processes"), 2);
        EXPECT_EQ(norva_test::metric(server.port(), "norva_sim_simulator_failures_total"), 1);
    }
    try {
        vector(server, 3);
        ADD_FAILURE() << "a vector past the most sessions was made";
    } catch (const SimulatorError& error) {
        EXPECT_NE(std::string(error.what()).find("a vector of 3 needs 3 sessions"),
                  std::string::npos)
            << error.what();
    }
    envs->close();
    EXPECT_EQ(server.stop().status, 0);
    for (pid_t pid : norva_test::logged_pids(log)) {
        EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
    }
}

TEST_P(ServedBatchedTest, ABatchedSimulatorAnsweringTooFewResultsHasFailed) {
    auto server = serve(2, "wrongcount");
    auto envs = vector(server, 2);
    envs->reset({});
    auto answers = envs->step(moves(2, 1));
    for (const auto& answer : answers) {
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->kind(), SimulatorError::Kind::failed);
        EXPECT_NE(std::string(answer.error->what())
                      .find("the simulator answered 1 result to a 'step' of 2 environments"),
                  std::string::npos)
            << answer.error->what();
    }
    EXPECT_EQ(server.stop().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ServedBatchedTest, ::testing::Values("grpc", "http"));

// A slot of a batched vector is a session too: curl reads its spaces and steps it alone, and its
// neighbour in the process is left as it was.
TEST(ServedBatchedSlotTest, ASlotStepsAloneAsASession) {
    norva_test::NorvaSandbox sandbox;
    norva_test::ServedSim server(
        sandbox, norva_test::write_batched_test_sim(sandbox.dir().path(), "good", 2).string(),
        {"--protocol", "http"});
    auto made = norva_test::curl_call(server.port(), "POST", "/v1/vectors",
                                      R"({"env_id": "slots", "num_envs": 2})");
    ASSERT_EQ(made.status, 200) << made.body;
    std::string vector = made.body.at("vector_id");
    std::string first = made.body.at("session_ids").at(0);
    auto reset = norva_test::curl_call(server.port(), "POST", "/v1/vectors/" + vector + "/reset",
                                       R"({"seed": 10})");
    ASSERT_EQ(reset.status, 200) << reset.body;
    auto space =
        norva_test::curl_call(server.port(), "GET", "/v1/sessions/" + first + "/action_space");
    EXPECT_EQ(space.body.at("type"), "box");
    auto stepped = norva_test::curl_call(server.port(), "POST", "/v1/sessions/" + first + "/step",
                                         R"({"action": [1.0, 0.0]})");
    ASSERT_EQ(stepped.status, 200) << stepped.body;
    // Seed 10 starts at (5, 0).
    EXPECT_EQ(stepped.body.at("observation").at("position"), Json::array({6.0, 0.0}));
    auto both = norva_test::curl_call(server.port(), "POST", "/v1/vectors/" + vector + "/step",
                                      R"({"actions": [[0.0, 0.0], [0.0, 0.0]]})");
    ASSERT_EQ(both.status, 200) << both.body;
    EXPECT_EQ(both.body.at("results").at(0).at("observation").at("position"),
              Json::array({6.0, 0.0}));
    // Seed 11 starts at (-5, 1) and had not moved.
    EXPECT_EQ(both.body.at("results").at(1).at("observation").at("position"),
              Json::array({-5.0, 1.0}));
    EXPECT_EQ(server.stop().status, 0);
}

}  // namespace
