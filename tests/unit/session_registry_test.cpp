#include "sim/serve/session_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>

#include "polling.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SessionLimit;
using norva_core::sim::SessionLimits;
using norva_core::sim::SessionNotFound;
using norva_core::sim::SessionRegistry;
using norva_core::sim::Simulator;
using norva_core::sim::SimulatorError;
using norva_core::sim::VectorNotFound;
using norva_core::sim::WorkerOptions;
using norva_core::sim::WorkerProcess;
using namespace std::chrono_literals;

// A registry over the test simulator, whose factory can be told to fail the next starts.
class RegistryTest : public ::testing::Test {
  protected:
    std::unique_ptr<SessionRegistry> registry(SessionLimits limits) {
        auto manifest = norva_core::sim::load_manifest(folder);
        return std::make_unique<SessionRegistry>(
            manifest, Json::object(), limits,
            [this, manifest](const std::atomic<bool>& closing) -> std::unique_ptr<WorkerProcess> {
                ++started;
                if (failing > 0) {
                    --failing;
                    throw SimulatorError(SimulatorError::Kind::failed, "cannot start");
                }
                return std::make_unique<WorkerProcess>(
                    folder, manifest, WorkerOptions{5s, false, nullptr, 1 << 20, &closing});
            });
    }

    // A sample of the registry's metrics, by its name.
    static double metric(SessionRegistry& sessions, const std::string& name) {
        std::istringstream lines(sessions.metrics_text());
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(name + " ")) {
                return std::stod(line.substr(name.size() + 1));
            }
        }
        ADD_FAILURE() << "no metric " << name;
        return -1;
    }

    norva_test::TempDir dir;
    std::filesystem::path folder = norva_test::write_test_sim(dir.path(), "good");
    std::atomic<int> started{0};
    std::atomic<int> failing{0};
};

TEST_F(RegistryTest, VectorsCountEverySlotAgainstTheSessionLimit) {
    auto sessions = registry({.max_sessions = 3, .idle_timeout = {}, .token = {}});
    auto first = sessions->open("env", {});
    sessions->open("env", {});
    EXPECT_THROW(sessions->open_vector("env", {}, 2), SessionLimit);
    EXPECT_EQ(started, 2) << "a refused vector starts nothing";
    sessions->close(first);
    auto made = sessions->open_vector("env", {}, 2);
    EXPECT_EQ(made.session_ids.size(), 2u);
    EXPECT_EQ(metric(*sessions, "norva_sim_sessions_open"), 3);
    EXPECT_THROW(sessions->open("env", {}), SessionLimit);
    // A slot is an ordinary session too.
    auto observation = sessions->with(made.session_ids[1], [](Simulator& simulator) {
        return simulator.reset_with({}).at("observation");
    });
    EXPECT_FALSE(observation.is_null());
    sessions->close_vector(made.id);
    EXPECT_EQ(metric(*sessions, "norva_sim_sessions_open"), 1);
    EXPECT_THROW(sessions->with(made.session_ids[0], [](Simulator&) { return 0; }),
                 SessionNotFound);
    sessions->open_vector("env", {}, 2);
}

TEST_F(RegistryTest, AFailedStartReleasesWhatItReserved) {
    auto sessions = registry({.max_sessions = 2, .idle_timeout = {}, .token = {}});
    failing = 1;
    EXPECT_THROW(sessions->open("env", {}), SimulatorError);
    failing = 1;
    EXPECT_THROW(sessions->open_vector("env", {}, 2), SimulatorError);
    EXPECT_EQ(metric(*sessions, "norva_sim_session_start_failures_total"), 2);
    EXPECT_EQ(metric(*sessions, "norva_sim_sessions_open"), 0);
    // Both places are free again.
    sessions->open_vector("env", {}, 2);
    EXPECT_THROW(sessions->open("env", {}), SessionLimit);
}

TEST_F(RegistryTest, IdleSessionsAndVectorsAreClosedAndSayWhy) {
    auto sessions = registry({.max_sessions = {}, .idle_timeout = 150ms, .token = {}});
    auto single = sessions->open("env", {});
    auto made = sessions->open_vector("env", {}, 2);
    auto kept = sessions->open("env", {});
    // A session in use stays.
    auto deadline = std::chrono::steady_clock::now() + 600ms;
    while (std::chrono::steady_clock::now() < deadline) {
        sessions->step(kept, Json::array({0.5, 0.0}));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NO_THROW(sessions->step(kept, Json::array({0.5, 0.0})));
    try {
        sessions->step(single, Json::array({0.5, 0.0}));
        ADD_FAILURE() << "an idle session was kept";
    } catch (const SessionNotFound& error) {
        EXPECT_NE(std::string(error.what()).find("without calls (--session-timeout)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_THROW(sessions->step_vector(made.id, std::vector<Json>(2, Json::array({0.5, 0.0}))),
                 VectorNotFound);
    EXPECT_THROW(sessions->step(made.session_ids[0], Json::array({0.5, 0.0})), SessionNotFound);
    EXPECT_EQ(metric(*sessions, "norva_sim_sessions_open"), 1);
}

TEST_F(RegistryTest, ARefusedActionReachesNoSimulatorAndAStoppedRegistryServesNothing) {
    auto sessions = registry({});
    auto made = sessions->open_vector("env", {}, 2);
    sessions->reset_vector(made.id, {});
    std::vector<Json> actions{Json::array({0.5, 0.0}), Json("left")};
    EXPECT_THROW(sessions->step_vector(made.id, actions), std::invalid_argument);
    EXPECT_THROW(sessions->step_vector(made.id, std::vector<Json>(3, Json::array({0.5, 0.0}))),
                 std::invalid_argument);
    auto answers =
        sessions->step_vector(made.id, std::vector<Json>(2, Json::array({0.5, 0.0}))).answers;
    EXPECT_FALSE(answers[0].error || answers[1].error);
    EXPECT_EQ(metric(*sessions, "norva_sim_steps_total"), 2) << "the refused steps count none";
    sessions->close_all();
    try {
        sessions->step_vector(made.id, std::vector<Json>(2, Json::array({0.5, 0.0})));
        ADD_FAILURE() << "a stopped registry stepped";
    } catch (const SimulatorError& error) {
        EXPECT_STREQ(error.what(), "the server is stopping");
    }
    EXPECT_THROW(sessions->open("env", {}), SimulatorError);
}

}  // namespace
