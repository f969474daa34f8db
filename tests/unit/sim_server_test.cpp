#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "norva_core/grpc_util.h"
#include "norva_core/network_util.h"
#include "norva_core/sim_client.h"
#include "norva_core/sim_server.h"
#include "norva_core/sim_server_util.h"
#include "sim/remote/remote_simulator.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorError;
using namespace std::chrono_literals;

// A server of a test simulator, serving on its own thread for the length of a test.
class ServedSim {
  public:
    ServedSim(const std::filesystem::path& folder, const std::string& protocol, int port)
        : server_(norva_core::sim::server::make_from_sim_path(
              folder, "127.0.0.1", port, Json{{"base", 1}, {"seed", 0}}, protocol)),
          thread_([this] { server_->start(); }) {}
    ~ServedSim() { stop(); }
    void stop() {
        server_->stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    std::unique_ptr<norva_core::sim::server::Server> server_;
    std::thread thread_;
};

class SimServerTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { ::setenv("TEST_SIM_LOG", log.c_str(), 1); }
    void TearDown() override { ::unsetenv("TEST_SIM_LOG"); }

    // "grpc-streamed" is the gRPC protocol with the steps of a session on one stream.
    std::string protocol() const { return GetParam() == "http" ? "http" : "grpc"; }

    std::unique_ptr<norva_core::sim::Simulator> connect() const {
        using norva_core::sim::GrpcSteps;
        norva_core::sim::Address address{"127.0.0.1", port};
        if (GetParam() == "http") {
            return norva_core::sim::connect_http(address);
        }
        return norva_core::sim::connect_grpc(
            address, GetParam() == "grpc" ? GrpcSteps::unary : GrpcSteps::streamed);
    }

    norva_test::TempDir dir;
    std::string log = dir / "sim.log";
    int port = norva_test::free_port();
};

TEST_P(SimServerTest, ServesSessionsEachWithItsOwnSimulator) {
    ServedSim served(norva_test::write_test_sim(dir.path(), "good"), protocol(), port);
    auto first = connect();
    auto second = connect();
    first->make("env-a", Json{{"seed", 5}});
    second->make("env-b", Json::object());

    auto reset = first->reset();
    EXPECT_EQ(reset.at("info").at("env_id"), "env-a");
    // The server's entries are the base; the client's override them.
    EXPECT_EQ(reset.at("info").at("env_init"), (Json{{"base", 1}, {"seed", 5}}));
    second->reset();
    first->step(Json::array({1.0, 1.0}));
    auto moved = first->step(Json::array({1.0, 0.5}));
    auto other = second->step(Json::array({-1.0, 0.0}));
    EXPECT_EQ(moved.at("observation").at("position"), Json::array({2.0, 1.5}));
    EXPECT_EQ(other.at("observation").at("position"), Json::array({-1.0, 0.0}));
    EXPECT_EQ(first->sensor_space().at("type"), "dict");

    auto pids = norva_test::logged_pids(log);
    ASSERT_EQ(pids.size(), 2u);
    first->close();
    // Each session's process ends with it; the other goes on.
    EXPECT_FALSE(norva_test::process_exists(pids[0]));
    EXPECT_TRUE(norva_test::process_exists(pids[1]));
    EXPECT_NO_THROW(second->step(Json::array({0.0, 0.0})));
    try {
        first->reset();
        FAIL() << "a closed session should be gone";
    } catch (const SimulatorError& error) {
        EXPECT_NE(std::string(error.what()).find("no session"), std::string::npos);
    }

    served.stop();
    for (pid_t pid : norva_test::logged_pids(log)) {
        EXPECT_FALSE(norva_test::process_exists(pid));
    }
}

TEST_P(SimServerTest, PassesSimulatorFailuresOnAndDropsTheSession) {
    ServedSim served(norva_test::write_test_sim(dir.path(), "crash"), protocol(), port);
    auto session = connect();
    session->make("env", Json::object());
    session->reset();
    session->step(Json::array({0.0, 0.0}));
    try {
        session->step(Json::array({0.0, 0.0}));
        FAIL() << "the crash should reach the client";
    } catch (const SimulatorError& error) {
        EXPECT_EQ(error.kind(), SimulatorError::Kind::failed);
        EXPECT_STREQ(error.what(), "the simulator ended (exit status 3) before it answered 'step'");
    }
    try {
        session->make("again", Json{{"fail_make", true}});
        FAIL() << "make should be refused";
    } catch (const SimulatorError& error) {
        EXPECT_EQ(error.kind(), SimulatorError::Kind::answered);
        EXPECT_STREQ(error.what(), "make refused");
    }
}

TEST_P(SimServerTest, ClientsOfTheToolkitReadTheSpaces) {
    ServedSim served(norva_test::write_test_sim(dir.path(), "good"), protocol(), port);
    auto spaces =
        norva_core::sim_server_util::create_client(protocol(), "my-env-id", "127.0.0.1", port);
    EXPECT_EQ(spaces->action_space_info().to_string(), "Box(-1.0, 1.0, (2,), float32)");
    EXPECT_EQ(spaces->sensor_space_info().to_string(),
              "Dict('position': Box(-10.0, 10.0, (2,), float32), 'gear': Discrete(3))");
    EXPECT_EQ(norva_test::logged_pids(log).size(), 1u);
}

TEST_P(SimServerTest, RefusesAPortThatIsTaken) {
    ServedSim served(norva_test::write_test_sim(dir.path(), "good"), protocol(), port);
    try {
        norva_core::sim::server::make_from_sim_path(dir / "test-sim-good", "127.0.0.1", port,
                                                    Json::object(), protocol());
        FAIL() << "a second server on the port should not start";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot serve on 127.0.0.1:" + std::to_string(port) +
                      ": the port is taken or the address is not this machine's");
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimServerTest,
                         ::testing::Values("grpc", "grpc-streamed", "http"));

TEST(SimReachability, TellsWhetherSomethingServes) {
    norva_test::TempDir dir;
    int port = norva_test::free_port();
    std::string address = "127.0.0.1:" + std::to_string(port);
    EXPECT_FALSE(norva_core::network_util::is_port_opened(address));
    EXPECT_FALSE(norva_core::grpc_util::is_channel_available(address));
    {
        ServedSim served(norva_test::write_test_sim(dir.path(), "good"), "grpc", port);
        EXPECT_TRUE(norva_core::network_util::is_port_opened(address));
        EXPECT_TRUE(norva_core::grpc_util::is_channel_available(address));

        auto client = norva_core::sim::client::make({"cli", "cli", "env", Json::object(), address});
        client->init();
        EXPECT_EQ(client->action_space().to_string(), "Box(-1.0, 1.0, (2,), float32)");
        client->close();
    }
    EXPECT_FALSE(norva_core::network_util::is_port_opened(address));
    EXPECT_FALSE(norva_core::network_util::is_port_opened("localhost"));
    EXPECT_FALSE(norva_core::grpc_util::is_channel_available("nowhere:abc"));
}

}  // namespace
