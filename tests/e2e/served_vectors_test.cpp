// Vectors served by `norva sim run`: norva's own clients on both protocols, grpcio and Python's
// http.client, the session limits counting every simulator, and `sim benchmark --envs`.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "norva_core/sim_server.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "sim/target.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorError;
using norva_core::sim::SimulatorVector;
using norva_core::sim::SlotAnswer;
using norva_test::NorvaSandbox;

class ServedVectorTest : public ::testing::TestWithParam<std::string> {
  protected:
    ServedVectorTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    norva_test::ServedSim serve(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--protocol", GetParam()});
        norva_test::ServedSim server(
            sandbox, norva_test::write_test_sim(sandbox.dir().path(), "good"), options);
        port = server.port();
        return server;
    }

    std::unique_ptr<SimulatorVector> vector(std::size_t count, const Json& env_init = {}) const {
        norva_core::sim::Address address{"127.0.0.1", port};
        auto made = GetParam() == "grpc" ? norva_core::sim::connect_grpc_vector(address, count)
                                         : norva_core::sim::connect_http_vector(address, count);
        made->make("vector", env_init.is_null() ? Json::object() : env_init);
        return made;
    }

    std::unique_ptr<norva_core::sim::Simulator> single() const {
        norva_core::sim::Address address{"127.0.0.1", port};
        auto made = GetParam() == "grpc" ? norva_core::sim::connect_grpc(address)
                                         : norva_core::sim::connect_http(address);
        made->make("single", Json::object());
        return made;
    }

    static std::vector<Json> pushes(std::size_t count) {
        return std::vector<Json>(count, Json::array({0.5, 0.0}));
    }

    static const Json& result(const std::vector<SlotAnswer>& answers, std::size_t slot) {
        EXPECT_FALSE(answers.at(slot).error) << slot << ": " << answers.at(slot).error->what();
        return answers.at(slot).result;
    }

    void expect_no_simulator_left() const {
        auto pids = norva_test::logged_pids(log);
        EXPECT_FALSE(pids.empty());
        for (pid_t pid : pids) {
            EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
        }
    }

    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    int port = 0;
};

TEST_P(ServedVectorTest, SeedsAutoresetAndAFailingSimulatorAsTheLocalVectorHasThem) {
    auto server = serve();
    auto envs = vector(3, Json{{"crash_seed", 11}});
    auto reset = envs->reset({.seed = 10});
    // Simulator i has seed 10 + i, as a single session reset with that seed.
    auto alone = single();
    for (std::size_t slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(result(reset, slot).at("observation"),
                  alone->reset_with({.seed = 10 + slot}).at("observation"));
    }
    alone->close();
    auto answers = envs->step(pushes(3));
    ASSERT_TRUE(answers[1].error);
    EXPECT_EQ(answers[1].error->kind(), SimulatorError::Kind::failed);
    EXPECT_NE(std::string(answers[1].error->what()).find("exit status 3"), std::string::npos)
        << answers[1].error->what();
    // With autoreset the next step starts a new simulator in the failed slot: its answer is the
    // new episode's first observation, which earned nothing and ended nothing. Seed 10's episode
    // is 3 steps: its third step resets it in the same call.
    auto started = norva_test::logged_pids(log).size();
    answers = envs->step(pushes(3));
    EXPECT_EQ(norva_test::logged_pids(log).size(), started + 1);
    EXPECT_EQ(result(answers, 1).at("reward"), 0);
    EXPECT_EQ(result(answers, 1).at("terminated"), false);
    EXPECT_EQ(result(answers, 1).at("truncated"), false);
    EXPECT_EQ(result(answers, 1).at("observation").at("position"), Json::array({0.0, 0.0}));
    answers = envs->step(pushes(3));
    EXPECT_EQ(result(answers, 0).at("terminated"), true);
    EXPECT_EQ(result(answers, 0).at("info").at("final_observation").at("position"),
              Json::array({6.5, 0.0}));
    EXPECT_EQ(result(answers, 0).at("observation").at("position"), Json::array({0.0, 0.0}));
    EXPECT_FALSE(answers[1].error);
    // Seed 12 starts at (-4, 2) and goes on.
    EXPECT_EQ(result(answers, 2).at("observation").at("position"), Json::array({-2.5, 2.0}));

    // A reset reseeds every slot and keeps their simulators.
    reset = envs->reset({.seeds = std::vector<std::uint64_t>{1, 2, 3}});
    for (std::size_t slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(result(reset, slot).at("info").at("seed"), slot + 1);
    }
    EXPECT_EQ(norva_test::logged_pids(log).size(), started + 1);
    EXPECT_FALSE(envs->step(pushes(3))[1].error);
    envs->close();
    EXPECT_EQ(server.stop().status, 0);
    expect_no_simulator_left();
}

// Each session starts a process: without --max-sessions the machine's cap holds, and the
// refusal says how to raise it; 0 lifts it.
TEST_P(ServedVectorTest, WithoutMostSessionsTheMachinesCapApplies) {
    auto cap = norva_core::sim::default_max_sessions();
    EXPECT_GE(cap, 64u) << "a vector of 64 must fit on any machine";
    if (cap + 1 > 1024) {
        GTEST_SKIP() << "the cap is past the largest vector here";
    }
    auto server = serve();
    try {
        vector(cap + 1);
        ADD_FAILURE() << "a vector past the machine's cap was made";
    } catch (const SimulatorError& error) {
        auto asked = std::to_string(cap + 1);
        EXPECT_NE(std::string(error.what())
                      .find("a vector of " + asked + " needs " + asked +
                            " sessions, and the server holds 0 of its most " + std::to_string(cap) +
                            " (--max-sessions)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(norva_test::logged_pids(log).size(), 0u) << "a refused vector started simulators";
    EXPECT_EQ(server.stop().status, 0);

    auto unlimited = serve({"--max-sessions", "0"});
    EXPECT_FALSE(vector(2)->step(pushes(2))[1].error);
    EXPECT_EQ(unlimited.stop().status, 0);
}

TEST_P(ServedVectorTest, AVectorCountsAsItsSimulatorsAgainstTheMostSessions) {
    auto server = serve({"--max-sessions", "5"});
    auto four = vector(4);
    auto fifth = single();
    try {
        vector(2);
        ADD_FAILURE() << "a vector past the most sessions was made";
    } catch (const SimulatorError& error) {
        EXPECT_NE(std::string(error.what())
                      .find("a vector of 2 needs 2 sessions, and the server holds 5 of its most 5 "
                            "(--max-sessions)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(norva_test::logged_pids(log).size(), 5u) << "a refused vector started simulators";
    four->close();
    auto again = vector(4);
    EXPECT_FALSE(again->step(pushes(4))[3].error);
    EXPECT_EQ(server.stop().status, 0);
    expect_no_simulator_left();
}

TEST_P(ServedVectorTest, AnIdleVectorIsClosedAsOneSession) {
    auto server = serve({"--session-timeout", "1"});
    auto quiet = vector(2);
    auto busy = vector(2);
    for (int i = 0; i < 12; ++i) {
        busy->step(pushes(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_FALSE(busy->step(pushes(2))[0].error) << "a vector in use was closed";
    try {
        quiet->step(pushes(2));
        ADD_FAILURE() << "the quiet vector was still open";
    } catch (const SimulatorError& error) {
        // The server remembers why it closed it.
        EXPECT_NE(std::string(error.what()).find("' was closed after "), std::string::npos)
            << error.what();
        EXPECT_NE(std::string(error.what()).find(" s without calls (--session-timeout)"),
                  std::string::npos)
            << error.what();
    }
    auto pids = norva_test::logged_pids(log);
    ASSERT_EQ(pids.size(), 4u);
    EXPECT_FALSE(norva_test::process_exists(pids[0])) << "the closed vector's simulator runs on";
    EXPECT_EQ(server.stop().status, 0);
}

TEST_P(ServedVectorTest, StoppingTheServerEndsEveryVectorsSimulators) {
    for (int signal : {SIGINT, SIGTERM}) {
        auto server = serve();
        auto envs = vector(8);
        envs->reset({.seed = 0});
        // Serving ends gracefully on either.
        EXPECT_EQ(server.stop(signal).status, 0);
        expect_no_simulator_left();
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, ServedVectorTest, ::testing::Values("grpc", "http"));

// Clients nobody here wrote, run as programs that print what they saw.
class ForeignClientTest : public ::testing::Test {
  protected:
    norva_test::ServedSim serve(const std::string& protocol) const {
        return {sandbox,
                norva_test::write_test_sim(sandbox.dir().path(), "good"),
                {"--protocol", protocol}};
    }

    static Json run(const std::vector<std::string>& argv) {
        auto result = norva_core::process::run(argv);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.exit_code == 0 ? Json::parse(result.out) : Json();
    }

    NorvaSandbox sandbox;
};

TEST_F(ForeignClientTest, PythonsHttpClientStepsAVectorAndWrongRequestsAreClearErrors) {
    auto server = serve("http");
    auto seen = run({"python3", TEST_CLIENTS_DIR "/http_client.py", "vector",
                     std::to_string(server.port()), "4"});
    EXPECT_EQ(seen["sessions"].size(), 4u);
    ASSERT_EQ(seen["reset"].size(), 4u);
    EXPECT_EQ(seen["reset"][3]["info"]["seed"], 6);
    for (const auto& results : seen["steps"]) {
        ASSERT_EQ(results.size(), 4u);
        EXPECT_TRUE(results[0].contains("reward")) << results[0];
    }
    // Seed 3 starts at (-2, 0): three pushes of 0.5 reach -0.5.
    EXPECT_EQ(seen["steps"][2][0]["observation"]["position"], Json::array({-0.5, 0.0}));
    ASSERT_EQ(seen["refused"].size(), 13u);
    for (const auto& refusal : seen["refused"]) {
        EXPECT_EQ(refusal["status"], 400) << refusal;
        EXPECT_EQ(refusal["kind"], "invalid") << refusal;
    }
    EXPECT_EQ(seen["refused"][0]["error"], "5 actions for a vector of 4 simulators; give one each");
    EXPECT_EQ(seen["gone"]["status"], 404);
}

// Actions of the wrong structure never reach the simulator (the test simulator answers its own
// error, "the action must be two numbers", to those); a value outside the box does, since
// simulators commonly clip, and is counted.
TEST_F(ForeignClientTest, WrongActionsAreRefusedBeforeTheSimulatorAndOutOfBoundsOnesReachIt) {
    auto http = serve("http");
    auto seen = run(
        {"python3", TEST_CLIENTS_DIR "/http_client.py", "actions", std::to_string(http.port())});
    std::vector<std::string> errors;
    for (const auto& refusal : seen["refused"]) {
        EXPECT_EQ(refusal["status"], 400) << refusal;
        EXPECT_EQ(refusal["kind"], "invalid") << refusal;
        errors.push_back(refusal["error"]);
    }
    EXPECT_EQ(errors.at(0),
              "the action does not fit the action space: action: shape (1,) where "
              "(2,) is declared");
    EXPECT_EQ(errors.at(1),
              "the action does not fit the action space: action: a string where a "
              "list of shape (2,) is declared");
    EXPECT_EQ(errors.at(2), "the action does not fit the action space: action[0]: NaN");
    EXPECT_EQ(errors.at(3),
              "the action does not fit the action space: action: shape (2, 1) "
              "where (2,) is declared");
    // Seed 3 starts at (-2, 0); the push of 5 went through, and the session stepped on.
    EXPECT_EQ(seen["outside"]["position"], Json::array({3.0, 0.0}));
    EXPECT_EQ(seen["after"]["position"], Json::array({3.25, 0.25}));
    EXPECT_EQ(seen["slot"]["status"], 400);
    EXPECT_EQ(seen["slot"]["error"],
              "the action of slot 1 does not fit the action space: action: "
              "shape (1,) where (2,) is declared");
    // Seed 4 starts at (-1, 1).
    EXPECT_EQ(seen["vector"][1]["position"], Json::array({8.0, 1.0}));
    EXPECT_EQ(seen["out_of_bounds"], 2);

    auto grpc = serve("grpc");
    auto through_grpc = run({"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py", SIM_PROTO_FILE,
                             std::to_string(grpc.port()), "actions"});
    ASSERT_EQ(through_grpc["refused"].size(), 3u);
    for (const auto& refusal : through_grpc["refused"]) {
        EXPECT_EQ(refusal["code"], "INVALID_ARGUMENT") << refusal;
    }
    EXPECT_EQ(through_grpc["refused"][2]["details"],
              "the action does not fit the action space: action[0]: NaN");
    EXPECT_EQ(through_grpc["outside"]["position"], Json::array({3.0, 0.0}));
    EXPECT_EQ(through_grpc["after"]["position"], Json::array({3.25, 0.25}));
}

TEST_F(ForeignClientTest, GrpcioStepsAVectorOverOneStream) {
    auto grpc = serve("grpc");
    auto seen = run({"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py", SIM_PROTO_FILE,
                     std::to_string(grpc.port()), "vector", "8", "20"});
    EXPECT_EQ(seen["sessions"].size(), 8u);
    EXPECT_EQ(seen["reset"][7]["info"]["seed"], 12);
    ASSERT_EQ(seen["steps"].size(), 20u);
    std::size_t ended = 0;
    for (const auto& results : seen["steps"]) {
        ASSERT_EQ(results.size(), 8u);
        for (const auto& result : results) {
            ended += result["info"].contains("final_observation") ? 1 : 0;
        }
    }
    // Seeds 5..12 give episodes of 3 to 7 steps: in 20 steps each ends at least twice.
    EXPECT_GE(ended, 16u);
    EXPECT_EQ(seen["wrong"]["code"], "INVALID_ARGUMENT");
    EXPECT_EQ(seen["wrong"]["details"], "0 actions for a vector of 8 simulators; give one each");
}

TEST(VectorBenchmarkTest, BenchmarkEnvsStepsOneVectorLocallyAndServed) {
    NorvaSandbox sandbox;
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "good");
    auto local = sandbox.run(
        {"sim", "benchmark", folder.string(), "--envs", "4", "--samples", "50", "--json"});
    ASSERT_EQ(local.status, 0) << local.err;
    auto measured = Json::parse(local.out);
    EXPECT_EQ(measured.at("envs"), 4);
    EXPECT_EQ(measured.at("samples"), 50);
    EXPECT_EQ(measured.at("env_steps"), 200);
    norva_test::ServedSim server(sandbox, folder.string());
    auto served = sandbox.run({"sim", "benchmark", "--address", server.address(), "--envs", "4",
                               "--samples", "50", "--latency"});
    ASSERT_EQ(served.status, 0) << served.err;
    EXPECT_NE(served.out.find(" (4 envs stepped as one vector)"), std::string::npos) << served.out;
    EXPECT_NE(served.out.find("Vector step latency: p50 "), std::string::npos) << served.out;
    auto refused = sandbox.run({"sim", "benchmark", folder.string(), "--envs", "0"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Invalid value for '--envs': 0 is not a positive number of envs."),
              std::string::npos)
        << refused.err;
}

// One vector over two servers: the benchmark spreads its environments over both, and a server
// that stops fails its own slots while the other's step on.
TEST(SpreadVectorTest, AVectorOverTwoServersStepsBothAndAStoppedOneFailsItsSlots) {
    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    sandbox.set_env("TEST_SIM_LOG", log);
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "good");
    norva_test::ServedSim first(sandbox, folder.string());
    norva_test::ServedSim second(sandbox, folder.string(), {"--protocol", "http"});
    std::string both = first.address() + ",http://" + second.address();
    auto measured = sandbox.run(
        {"sim", "benchmark", "--address", both, "--envs", "5", "--samples", "20", "--json"});
    ASSERT_EQ(measured.status, 0) << measured.err;
    EXPECT_EQ(Json::parse(measured.out).at("env_steps"), 100);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 5u) << "three on one server, two on the other";

    auto spread = norva_core::sim::open_vector_target(both, "grpc", 5);
    auto alone = norva_core::sim::open_vector_target(first.address(), "grpc", 5);
    spread->make("spread", Json::object());
    alone->make("alone", Json::object());
    auto reset = spread->reset({.seed = 10});
    auto expected = alone->reset({.seed = 10});
    for (std::size_t slot = 0; slot < 5; ++slot) {
        ASSERT_FALSE(reset[slot].error) << slot;
        EXPECT_EQ(reset[slot].result.at("observation"), expected[slot].result.at("observation"))
            << "slot " << slot << " is seeded 10 + " << slot << " on either server";
    }
    EXPECT_THROW(spread->reset({.seeds = std::vector<std::uint64_t>{1, 2}}), std::invalid_argument);
    second.stop();
    const std::vector<Json> actions(5, Json::array({0.5, 0.0}));
    auto answers = spread->step(actions);
    for (std::size_t slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(answers[slot].error.has_value(), slot >= 3) << slot;
    }
    EXPECT_EQ(answers[0].result.at("observation"),
              alone->step(actions)[0].result.at("observation"));
    spread->close();
    alone->close();
}

}  // namespace
