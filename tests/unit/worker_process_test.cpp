#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "norva_core/errors.h"
#include "norva_core/interrupt.h"
#include "polling.h"
#include "sim/worker/worker_process.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::Manifest;
using norva_core::sim::SimulatorError;
using norva_core::sim::WorkerOptions;
using norva_core::sim::WorkerProcess;
using namespace std::chrono_literals;

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("TEST_SIM_LOG", log.c_str(), 1); }
    void TearDown() override { ::unsetenv("TEST_SIM_LOG"); }

    WorkerProcess start(const std::string& mode, std::chrono::milliseconds limit = 5s) {
        auto folder = norva_test::write_test_sim(dir.path(), mode);
        return WorkerProcess(folder, norva_core::sim::load_manifest(folder),
                             WorkerOptions{limit, true, nullptr});
    }

    // Steps until the simulator fails, and gives the failure.
    SimulatorError failure_of(WorkerProcess& worker) {
        worker.make("env", Json::object());
        worker.reset();
        try {
            for (int i = 0; i < 5; ++i) {
                worker.step(Json::array({0.1, 0.1}));
            }
        } catch (const SimulatorError& error) {
            return error;
        }
        ADD_FAILURE() << "the simulator did not fail";
        return SimulatorError(SimulatorError::Kind::answered, "");
    }

    void expect_all_ended() const {
        auto pids = norva_test::logged_pids(log);
        ASSERT_FALSE(pids.empty());
        // A killed process in the group may take a moment to die on a busy machine.
        for (pid_t pid : pids) {
            auto deadline = std::chrono::steady_clock::now() + 2s;
            while (norva_test::process_exists(pid) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(10ms);
            }
            EXPECT_FALSE(norva_test::process_exists(pid)) << pid;
        }
    }

    norva_test::TempDir dir;
    std::string log = dir / "sim.log";
};

TEST_F(WorkerTest, SpeaksTheProtocolAndEndsTheProgramOnClose) {
    auto worker = start("good");
    worker.make("my-env", Json{{"seed", 1}});
    EXPECT_EQ(worker.sensor_space().at("type"), "dict");
    EXPECT_EQ(worker.action_space().at("type"), "box");
    auto first = worker.reset();
    EXPECT_EQ(first.at("info").at("env_id"), "my-env");
    EXPECT_EQ(first.at("info").at("env_init"), (Json{{"seed", 1}}));
    auto result = worker.step(Json::array({1.0, 0.0}));
    EXPECT_EQ(result.at("observation").at("position"), Json::array({1.0, 0.0}));
    EXPECT_EQ(result.at("terminated"), false);
    worker.close();
    expect_all_ended();
    EXPECT_THROW(worker.reset(), SimulatorError);
}

TEST_F(WorkerTest, AnErrorAnswerLeavesTheSimulatorUsable) {
    auto worker = start("good");
    try {
        worker.make("env", Json{{"fail_make", true}});
        FAIL() << "make should fail";
    } catch (const SimulatorError& error) {
        EXPECT_EQ(error.kind(), SimulatorError::Kind::answered);
        EXPECT_STREQ(error.what(), "make refused");
    }
    EXPECT_EQ(worker.sensor_space().at("type"), "dict");
}

TEST_F(WorkerTest, MisbehavingSimulatorsFailClearlyAndAreEnded) {
    struct Case {
        const char* mode;
        SimulatorError::Kind kind;
        const char* message;
    };
    for (const auto& [mode, kind, message] :
         {Case{"crash", SimulatorError::Kind::failed,
               "the simulator ended (exit status 3) before it answered 'step'"},
          Case{"notjson", SimulatorError::Kind::failed,
               "the simulator wrote a line that is not JSON in answer to 'step': this is not json"},
          Case{"wrongid", SimulatorError::Kind::failed,
               "the simulator answered id 104 to request 4 ('step')"},
          Case{"hang", SimulatorError::Kind::timed_out,
               "the simulator gave no answer to 'step' within 0.5 s"}}) {
        SCOPED_TRACE(mode);
        auto worker = start(mode, 500ms);
        auto error = failure_of(worker);
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(std::string(error.what()), message);
        // Ended at the failure, not later when the handle goes.
        expect_all_ended();
    }
}

TEST_F(WorkerTest, EndsEverythingTheProgramStartedWhenDropped) {
    auto folder = dir.path() / "forking";
    std::filesystem::create_directories(folder);
    Manifest manifest{"forking",
                      "",
                      "sim",
                      "1",
                      {"sh", "-c",
                       "sleep 300 & echo \"pid $!\" >> \"$TEST_SIM_LOG\"; exec " +
                           std::string(TEST_SIM_BINARY) + " good"}};
    {
        WorkerProcess worker(folder, manifest, WorkerOptions{5s, true, nullptr});
        worker.make("env", Json::object());
    }
    EXPECT_EQ(norva_test::logged_pids(log).size(), 2u);
    expect_all_ended();
}

TEST_F(WorkerTest, AnInterruptEndsTheWaitAndTheSimulator) {
    auto worker = start("hang", 30s);
    worker.make("env", Json::object());
    worker.reset();
    worker.step(Json::array({0.0, 0.0}));
    std::thread interrupter([] {
        std::this_thread::sleep_for(200ms);
        norva_core::interrupt::raise_for_testing();
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(worker.step(Json::array({0.0, 0.0})), norva_core::Interrupted);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    expect_all_ended();
}

TEST_F(WorkerTest, AMissingProgramIsOneClearError) {
    Manifest manifest{"x", "", "sim", "1", {"no-such-simulator-program"}};
    try {
        WorkerProcess worker(dir.path(), manifest, WorkerOptions{5s, true, nullptr});
        FAIL() << "the worker should not start";
    } catch (const SimulatorError& error) {
        EXPECT_STREQ(error.what(),
                     "Cannot start the simulator: the program 'no-such-simulator-program' of the "
                     "manifest's command was not found");
    }
}

// A shell simulator: the given script runs with the requests on its stdin.
Manifest shell_sim(const std::string& script) {
    return Manifest{"shell", "", "sim", "1", {"sh", "-c", script}};
}

TEST_F(WorkerTest, ASimulatorGoneBeforeItReadsFailsTheCallAndLeavesThisProcessRunning) {
    // The simulator records which signals it ignores, then ends without reading: the request
    // meets a closed pipe, which must be an error here, never a signal that ends this process.
    // Its stdin is closed before the record is written, so a record means nothing reads.
    auto manifest =
        shell_sim("exec 0<&-; grep SigIgn /proc/self/status > \"$TEST_SIM_LOG\"; exit 4");
    WorkerProcess worker(dir.path(), manifest, WorkerOptions{5s, true, nullptr});
    ASSERT_TRUE(norva_test::eventually([&] { return !norva_test::read_file(log).empty(); }));
    try {
        worker.make("env", Json::object());
        FAIL() << "the request should fail";
    } catch (const SimulatorError& error) {
        EXPECT_EQ(error.kind(), SimulatorError::Kind::failed);
        EXPECT_STREQ(error.what(), "the simulator ended (exit status 4) before it read 'make'");
    }
    // The simulator itself starts with SIGPIPE as a program expects it: not ignored.
    auto ignored = std::stoull(norva_test::read_file(log).substr(7), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << norva_test::read_file(log);
}

TEST_F(WorkerTest, AnAnswerWrittenInPiecesAndLateIsReadWhole) {
    // The first answer comes in three pieces, the second after a pause long enough that the
    // wait goes to sleep; both must arrive whole and in order.
    auto manifest = shell_sim(
        "read -r request; printf '{\"id\":1,'; sleep 0.05; printf '\"result\":'; sleep 0.05;"
        "printf '{}}\\n'; read -r request; sleep 0.2;"
        "printf '{\"id\":2,\"result\":{\"type\":\"discrete\",\"n\":4}}\\n'; read -r request");
    WorkerProcess worker(dir.path(), manifest, WorkerOptions{5s, true, nullptr});
    worker.make("env", Json::object());
    EXPECT_EQ(worker.sensor_space(), Json::parse(R"({"type":"discrete","n":4})"));
}

TEST_F(WorkerTest, ASimulatorThatStopsReadingIsHeldToTheTimeLimit) {
    // A request larger than any pipe holds, to a simulator that reads nothing: the write must
    // wait within the answer's time limit, not for ever.
    WorkerProcess worker(dir.path(), shell_sim("sleep 60"), WorkerOptions{300ms, true, nullptr});
    auto started = std::chrono::steady_clock::now();
    try {
        worker.make("env", Json{{"padding", std::string(4 << 20, 'x')}});
        FAIL() << "the request should time out";
    } catch (const SimulatorError& error) {
        EXPECT_EQ(error.kind(), SimulatorError::Kind::timed_out) << error.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

}  // namespace
