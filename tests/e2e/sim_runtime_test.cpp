#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "norva_core/network_util.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_test::NorvaSandbox;
using namespace std::chrono_literals;

class SimRuntimeTest : public ::testing::Test {
  protected:
    SimRuntimeTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    std::string sim(const std::string& mode) const {
        return norva_test::write_test_sim(sandbox.dir().path(), mode).string();
    }

    void expect_no_simulator_left() const {
        for (pid_t pid : norva_test::logged_pids(log)) {
            EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
        }
    }

    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
};

TEST_F(SimRuntimeTest, AGoodSimValidatesWithoutIssues) {
    auto result = sandbox.run({"sim", "validate", sim("good")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Validation found no issues.\n");
    expect_no_simulator_left();
}

TEST_F(SimRuntimeTest, WarningsArePrintedAndDoNotFailValidation) {
    auto result = sandbox.run({"sim", "validate", "--path", sim("slow")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("warning timing: a step takes 6"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nValidation found 0 errors and 1 warning.\n"), std::string::npos)
        << result.out;
    // The simulators' own logs pass through (two of them at once, their lines interleaved);
    // nothing else is said.
    auto err = result.err;
    for (const std::string piece : {"test sim ", "slow started", "\n"}) {
        for (auto at = err.find(piece); at != std::string::npos; at = err.find(piece)) {
            err.erase(at, piece.size());
        }
    }
    EXPECT_EQ(err, "") << result.err;
}

TEST_F(SimRuntimeTest, EachFaultySimFailsAfterItsIssues) {
    sandbox.set_env("NORVA_SIM_TIMEOUT", "1");
    struct Case {
        const char* mode;
        const char* issue;
    };
    for (const auto& [mode, issue] : {
             Case{"outside",
                  "error   step: step 3: the observation is not inside the sensor space: "
                  "position[0]: 42.0 above high 10.0 (after a reset with seed 0 and the actions "
                  "[["},
             Case{"nan", "error   step: step 2: the reward is nan; rewards must be finite numbers"},
             Case{"crash", "error   step: the simulator ended (exit status 3) before it answered"},
             Case{"notjson",
                  "error   step: the simulator wrote a line that is not JSON in answer "
                  "to 'step': this is not json"},
             Case{"wrongid", "error   step: the simulator answered id 106 to request 6 ('step')"},
             Case{"hang", "error   timing: the simulator gave no answer to 'step' within 1 s"},
         }) {
        SCOPED_TRACE(mode);
        auto result = sandbox.run({"sim", "validate", sim(mode)});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out.rfind(issue, 0), 0u) << result.out;
        EXPECT_NE(result.out.find("\nValidation found 1 error and 0 warnings.\n"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(result.err.substr(result.err.find("Error:")), "Error: Validation failed\n");
        expect_no_simulator_left();
    }
}

TEST_F(SimRuntimeTest, ABrokenFolderOrAddressIsReportedClearly) {
    auto empty = sandbox.dir() / "empty";
    std::filesystem::create_directories(empty);
    auto missing = sandbox.run({"sim", "validate", empty});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "error   manifest: No norva-sim.toml in " + empty +
                               "; a sim folder describes itself there (see `norva sim new`)\n"
                               "Validation found 1 error and 0 warnings.\n");

    auto portless = sandbox.run({"sim", "validate", "--address", "localhost"});
    EXPECT_EQ(portless.status, 1);
    EXPECT_EQ(portless.err,
              "Error: 'localhost' is not a sim folder, and as an address it has no "
              "port; write an address as host:port, e.g. localhost:1337\n");

    auto neither = sandbox.run({"sim", "benchmark"});
    EXPECT_EQ(neither.status, 1);
    EXPECT_EQ(neither.err, "Error: Either `path` or `address` must be provided\n");

    auto nothing_there = sandbox.run(
        {"sim", "benchmark", "--address", "127.0.0.1:" + std::to_string(norva_test::free_port())});
    EXPECT_EQ(nothing_there.status, 1);
    EXPECT_EQ(nothing_there.err.rfind("Error: Cannot reach a simulator over gRPC at 127.0.0.1:", 0),
              0u)
        << nothing_there.err;
}

TEST_F(SimRuntimeTest, BenchmarkPrintsOneRateAndStepsTheGivenCount) {
    auto result = sandbox.run({"sim", "benchmark", sim("good"), "--samples", "50"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("Samples per second: ", 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
    EXPECT_GT(std::stod(result.out.substr(20)), 0.0);
    EXPECT_EQ(norva_test::logged_steps(log), 50);
    expect_no_simulator_left();
}

TEST_F(SimRuntimeTest, RunRefusesWhatItCannotServe) {
    int port = norva_test::free_port();
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::listen(holder, 1);
    auto taken = sandbox.run({"sim", "run", sim("good"), "--port", std::to_string(port)});
    ::close(holder);
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.err, "Error: Cannot serve on 0.0.0.0:" + std::to_string(port) +
                             ": the port is taken or the address is not this machine's\n");

    auto folder = sandbox.dir() / "commandless";
    norva_test::write_file(folder + "/norva-sim.toml",
                           "name = \"x\"\ntype = \"sim\"\nversion = \"1\"\n");
    auto commandless = sandbox.run({"sim", "run", folder});
    EXPECT_EQ(commandless.status, 1);
    EXPECT_EQ(commandless.err, "Error: " + folder +
                                   "/norva-sim.toml: the field 'command' is missing; it names the "
                                   "simulator program, for example command = [\"python3\", "
                                   "\"sim.py\"]\n");

    auto not_a_mapping = sandbox.run({"sim", "run", sim("good"), "--env-init", "[1]"});
    EXPECT_NE(not_a_mapping.status, 0);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 0u);
}

class RunTest : public SimRuntimeTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RunTest, ServesUntilInterruptedAndLeavesNothingBehind) {
    const std::string& protocol = GetParam();
    norva_test::ServedSim server(sandbox, sim("good"),
                                 {"--protocol", protocol, "--env-init", R"({"seed": 1})"});
    norva_core::sim::Address address{"127.0.0.1", server.port()};
    auto session = protocol == "grpc" ? norva_core::sim::connect_grpc(address)
                                      : norva_core::sim::connect_http(address);
    session->make("env-x", Json{{"level", 2}});
    auto reset = session->reset();
    EXPECT_EQ(reset.at("info").at("env_init"), (Json{{"seed", 1}, {"level", 2}}));
    auto step = session->step(Json::array({0.5, -0.5}));
    EXPECT_EQ(step.at("observation").at("position"), Json::array({0.5, -0.5}));

    auto target = (protocol == "grpc" ? "" : "http://") + address.text();
    auto checked =
        sandbox.run({"sim", "validate", "--address", address.text(), "--protocol", protocol});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "Validation found no issues.\n");
    auto measured = sandbox.run({"sim", "benchmark", "--address", target, "--samples", "20"});
    EXPECT_EQ(measured.status, 0) << measured.err;
    EXPECT_EQ(measured.out.rfind("Samples per second: ", 0), 0u);

    // The session is left open on purpose: stopping must end its simulator too. Ctrl-C and a
    // termination request (`docker stop`) end the server alike.
    auto result = server.stop(protocol == "grpc" ? SIGINT : SIGTERM);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("KeyboardInterrupt, Gracefully stopping the server\n"),
              std::string::npos)
        << result.err;
    // This test's session, validation's own and the two it compares for determinism, and the
    // benchmark's.
    EXPECT_EQ(norva_test::logged_pids(log).size(), 5u);
    expect_no_simulator_left();
    EXPECT_FALSE(norva_core::network_util::is_port_opened(address.text()));
}

INSTANTIATE_TEST_SUITE_P(Protocols, RunTest, ::testing::Values("grpc", "http"));

}  // namespace
