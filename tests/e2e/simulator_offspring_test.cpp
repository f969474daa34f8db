#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "norva_runner.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using namespace std::chrono_literals;

// The test simulator in "helpers" mode starts two helpers that never end, each in a session of
// its own: one stays its child, the other is orphaned at once.
class SimulatorOffspringTest : public ::testing::Test {
  protected:
    SimulatorOffspringTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    std::string helpers_sim() const {
        return norva_test::write_test_sim(sandbox.dir().path(), "helpers").string();
    }

    std::vector<pid_t> running_helpers() const {
        std::vector<pid_t> running;
        for (pid_t pid : norva_test::logged_helper_pids(log)) {
            if (norva_test::process_exists(pid)) {
                running.push_back(pid);
            }
        }
        return running;
    }

    // Waits until `count` helpers have been started.
    void await_helpers(std::size_t count) const {
        for (auto waited = 0ms; waited < 10s; waited += 10ms) {
            if (norva_test::logged_helper_pids(log).size() >= count) {
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        FAIL() << "the simulator did not start its helpers";
    }

    norva_test::NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
};

TEST_F(SimulatorOffspringTest, ValidationNamesWhatOutlivesASimulatorAndEndsIt) {
    auto result = sandbox.run({"sim", "validate", helpers_sim(), "--json"});
    EXPECT_EQ(result.status, 1) << result.err;
    auto report = Json::parse(result.out);
    EXPECT_EQ(report.at("findings"),
              Json::array({{{"check", "leftovers"},
                            {"severity", "error"},
                            {"message",
                             "2 processes the simulator started still ran after it closed; norva "
                             "ended them. End the processes a simulator starts when it is asked "
                             "to close"}}}))
        << result.out;
    EXPECT_EQ(report.at("checks").at(9), (Json{{"check", "leftovers"}, {"outcome", "error"}}));
    // Every simulator validation started had its two helpers: all of them are gone.
    EXPECT_EQ(norva_test::logged_helper_pids(log).size(), 2 * norva_test::logged_pids(log).size());
    EXPECT_EQ(running_helpers(), std::vector<pid_t>{});
}

TEST_F(SimulatorOffspringTest, AnInterruptedBenchmarkLeavesNoHelperRunning) {
    auto benchmark = sandbox.spawn({"sim", "benchmark", helpers_sim(), "--samples", "100000000"});
    await_helpers(2);
    ::kill(benchmark.pid(), SIGINT);
    auto result = norva_test::NorvaSandbox::finish(benchmark);
    EXPECT_EQ(result.status, 130) << result.err;
    EXPECT_EQ(norva_test::logged_helper_pids(log).size(), 2u);
    EXPECT_EQ(running_helpers(), std::vector<pid_t>{});
}

TEST_F(SimulatorOffspringTest, AServedSessionsHelpersEndWithTheSessionAndTheServer) {
    norva_test::ServedSim server(sandbox, helpers_sim(), {"--protocol", "http"});
    norva_core::sim::Address address{"127.0.0.1", server.port()};
    auto closed = norva_core::sim::connect_http(address);
    closed->make("env", Json::object());
    closed->reset();
    await_helpers(2);
    closed->close();
    EXPECT_EQ(running_helpers(), std::vector<pid_t>{}) << "a closed session's helpers ran on";

    auto open = norva_core::sim::connect_http(address);
    open->make("env", Json::object());
    open->reset();
    await_helpers(4);
    EXPECT_EQ(running_helpers().size(), 2u);
    auto stopped = server.stop(SIGTERM);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(running_helpers(), std::vector<pid_t>{}) << "an open session's helpers outlived it";
}

}  // namespace
