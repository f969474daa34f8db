#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "norva_runner.h"
#include "served_sim.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;
using norva_test::NorvaSandbox;
using namespace std::chrono_literals;

// A real `norva sim run` of the good test simulator, for the commands that talk to one.
class ServedSimTest : public ::testing::Test {
  protected:
    void serve(int fixed_port = 0) {
        server.emplace(sandbox, norva_test::write_test_sim(sandbox.dir().path(), "good"),
                       std::vector<std::string>{}, fixed_port);
        port = server->port();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    std::vector<std::vector<std::string>> docker_args() const {
        std::vector<std::vector<std::string>> args;
        for (const auto& call : sandbox.docker_calls()) {
            args.push_back(call.at("args").get<std::vector<std::string>>());
        }
        return args;
    }

    void container_on(int published_port) {
        Json described = {
            {"Name", "/cart"},
            {"Id", "c1"},
            {"Config", {{"Image", "norva/cart"}}},
            {"NetworkSettings",
             {{"Ports",
               {{"1337/tcp",
                 {{{"HostIp", "127.0.0.1"}, {"HostPort", std::to_string(published_port)}}}}}}}}};
        sandbox.docker_scenario(
            {{"rules",
              {{{"args_prefix", {"run"}}, {"stdout", "c1\n"}},
               {{"args_prefix", {"inspect"}}, {"stdout", Json::array({described}).dump()}}}}});
    }

    NorvaSandbox sandbox;
    std::optional<norva_test::ServedSim> server;
    int port = 0;
};

std::string report(const std::string& address, const std::string& env_id) {
    return "\n"
           "    Simulator Info\n"
           "    - Address:  " +
           address +
           "\n"
           "    - Env ID:  " +
           env_id +
           "\n"
           "    - Is Port Opened?  True\n"
           "    - Is Channel Available?  True\n"
           "\n"
           "    Space Info\n"
           "    - Sensor Space:  Dict('position': Box(-10.0, 10.0, (2,), float32), 'gear': "
           "Discrete(3))\n"
           "    - Action Space:  Box(-1.0, 1.0, (2,), float32)\n"
           "\n"
           "    Sensors\n"
           "    \tSensor(\"position.0\", \"\")\n"
           "\tSensor(\"position.1\", \"\")\n"
           "\tSensor(\"gear\", \"\")\n"
           "\n";
}

TEST_F(ServedSimTest, InfoReportsARunningSim) {
    serve();
    auto result = sandbox.run({"sim", "info", "--address", address(), "--env-id", "e1"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, report(address(), "e1"));
    EXPECT_TRUE(docker_args().empty());
}

TEST_F(ServedSimTest, InfoAsJsonGivesTheSpacesThemselves) {
    serve();
    auto result = sandbox.run({"sim", "info", "--address", address(), "--env-id", "e1", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    auto report = Json::parse(result.out);
    EXPECT_EQ(report.at("address"), address());
    EXPECT_EQ(report.at("env_id"), "e1");
    EXPECT_EQ(report.at("port_opened"), true);
    EXPECT_EQ(report.at("channel_available"), true);
    EXPECT_EQ(report.at("action_space"),
              Json::parse(R"({"type":"box","low":-1.0,"high":1.0,"shape":[2]})"));
    EXPECT_EQ(report.at("sensor_space").at("type"), "dict");
    EXPECT_EQ(report.at("sensors"), Json::parse(R"(["position.0","position.1","gear"])"));
}

TEST_F(ServedSimTest, InfoOfANamedSimStartsAndStopsItsContainer) {
    serve();
    container_on(port);
    auto result = sandbox.run({"sim", "info", "--name", "cart", "--address", "ignored:1"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, report("localhost:" + std::to_string(port), ""));
    auto args = docker_args();
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0][0], "run");
    EXPECT_EQ(args[0][7], "IS_HISTORIAN_ENABLED=0");
    EXPECT_EQ(args[1], (std::vector<std::string>{"inspect", "cart"}));
    EXPECT_EQ(args[2], (std::vector<std::string>{"stop", "cart"}));
    EXPECT_EQ(args[3], (std::vector<std::string>{"rm", "cart"}));
}

TEST_F(ServedSimTest, InfoStopsTheContainerItStartedWhenItFails) {
    sandbox.set_env("NORVA_SIM_START_LIMIT", "1");
    container_on(norva_test::free_port());
    auto result = sandbox.run({"sim", "info", "--name", "cart"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Error: Cannot reach a simulator over gRPC at localhost:", 0), 0u)
        << result.err;
    auto args = docker_args();
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[2], (std::vector<std::string>{"stop", "cart"}));
    EXPECT_EQ(args[3], (std::vector<std::string>{"rm", "cart"}));

    auto neither = sandbox.run({"sim", "info"});
    EXPECT_EQ(neither.err, "Error: Either address or sim must be provided\n");
}

TEST_F(ServedSimTest, MappingsWritesBothSpacesAsPlainJson) {
    serve();
    auto result = sandbox.run({"sim", "mappings", "--address", address()});
    EXPECT_EQ(result.status, 0) << result.err;
    auto mapped = Json::parse(result.out);
    EXPECT_EQ(mapped, Json::parse(R"json({
        "action_space": {"space": "Box(-1.0, 1.0, (2,), float32)", "mappings": [
            {"name": "0", "type": "float", "low": -1.0, "high": 1.0},
            {"name": "1", "type": "float", "low": -1.0, "high": 1.0}]},
        "sensor_space": {
            "space": "Dict('position': Box(-10.0, 10.0, (2,), float32), 'gear': Discrete(3))",
            "mappings": [
                {"name": "position.0", "type": "float", "low": -10.0, "high": 10.0},
                {"name": "position.1", "type": "float", "low": -10.0, "high": 10.0},
                {"name": "gear", "type": "int", "low": 0, "high": 2}]}})json"));
    EXPECT_LT(result.out.find("\"action_space\""), result.out.find("\"sensor_space\""));
    EXPECT_LT(result.out.find("\"space\""), result.out.find("\"mappings\""));
}

TEST_F(ServedSimTest, MappingsOfAnImageUsesTheSimPortAndStopsTheContainer) {
    serve(1337);
    sandbox.docker_scenario({{"rules", {{{"args_prefix", {"run"}}, {"stdout", "c9\n"}}}}});
    auto result = sandbox.run({"sim", "mappings", "--image", "norva/cart", "--address", "x:1"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Json::parse(result.out).at("action_space").at("space"),
              "Box(-1.0, 1.0, (2,), float32)");
    EXPECT_EQ(docker_args(),
              (std::vector<std::vector<std::string>>{{"run", "--detach", "--label", "ai.norva.sim",
                                                      "--publish", "1337:1337/tcp", "norva/cart"},
                                                     {"stop", "c9"},
                                                     {"rm", "c9"}}));
}

TEST_F(ServedSimTest, MappingsReportsWhatItCannotDo) {
    sandbox.docker_scenario(
        {{"rules", {{{"args_prefix", {"run"}}, {"status", 125}, {"stderr", "no such image"}}}}});
    auto failed = sandbox.run({"sim", "mappings", "--image", "norva/[cart]"});
    EXPECT_EQ(failed.status, 0);
    EXPECT_EQ(failed.out, "Error: Could not start the container 'norva/[cart]'\nnull\n");

    auto portless = sandbox.run({"sim", "mappings", "--address", "localhost"});
    EXPECT_EQ(portless.status, 1);
    EXPECT_EQ(portless.err,
              "Error: The address 'localhost' has no port; write it as host:port, "
              "e.g. localhost:1337\n");
    auto wordy = sandbox.run({"sim", "mappings", "--address", "localhost:abc:1"});
    EXPECT_EQ(wordy.err,
              "Error: The port 'abc' of the address 'localhost:abc:1' is not a whole number\n");
    auto neither = sandbox.run({"sim", "mappings"});
    EXPECT_EQ(neither.err, "Error: Either image or address must be provided\n");
    EXPECT_EQ(neither.out, "");
}

}  // namespace
