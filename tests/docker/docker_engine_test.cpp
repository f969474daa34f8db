#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "compute_fixture.h"
#include "norva_core/process.h"

namespace {

namespace fs = std::filesystem;
using norva_test::json;
using norva_test::RunResult;
using namespace std::chrono_literals;

constexpr const char* SIM = "docker-test-sim";
constexpr const char* PROJECT = "norvatest";

norva_core::process::Result docker(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"docker"};
    argv.insert(argv.end(), args.begin(), args.end());
    return norva_core::process::run(argv);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty()) {
            found.push_back(line);
        }
    }
    return found;
}

// Why the real engine cannot be used, or nothing when it can.
std::optional<std::string> engine_missing() {
    if (std::getenv("DOCKER_HOST") == nullptr) {
        return "DOCKER_HOST is not set; scripts/test starts an engine where the machine allows it";
    }
    try {
        if (docker({"info"}).exit_code != 0) {
            return "no Docker engine answers at DOCKER_HOST";
        }
        if (docker({"image", "inspect", std::string("norva/") + SIM}).exit_code != 0) {
            return "the test images are missing; tests/docker/engine.sh makes them";
        }
    } catch (const std::exception& error) {
        return std::string("docker cannot run: ") + error.what();
    }
    return std::nullopt;
}

// The built norva against the real engine: the real docker on PATH, the compose shim of the
// set-up, nothing left running afterwards.
class DockerEngineTest : public testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = engine_missing()) {
            GTEST_SKIP() << *missing;
        }
        fs::remove(sandbox.dir().path() / "bin/docker");
        sandbox.set_env("DOCKER_HOST", std::getenv("DOCKER_HOST"));
        sandbox.set_env("DOCKER_CONFIG", std::string(ENGINE_STATE) + "/config");
        sandbox.set_env("COMPOSE_PROJECT_NAME", PROJECT);
    }

    void TearDown() override {
        if (!IsSkipped()) {
            docker({"rm", "-f", SIM});
        }
    }

    RunResult norva(const std::vector<std::string>& args) { return sandbox.run(args); }

    // The address answers once the container's norva serves; a fresh container takes a moment.
    RunResult validate_when_up(const std::string& address) {
        RunResult reached;
        for (int i = 0; i < 100; ++i) {
            reached = norva({"sim", "validate", "--address", address});
            if (reached.status == 0) {
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        return reached;
    }

    norva_test::NorvaSandbox sandbox;
};

TEST_F(DockerEngineTest, SimContainersStartReportLogAndStop) {
    auto info = norva({"sim", "info", "--name", SIM});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Is Port Opened?  True"), std::string::npos);
    EXPECT_NE(info.out.find("Simulator Info"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Address:  localhost:"), std::string::npos) << info.out;
    EXPECT_EQ(lines(docker({"ps", "-aq", "--filter", std::string("name=") + SIM}).out).size(), 0u)
        << "info stops the container it started";

    auto mapped = norva({"sim", "mappings", "--image", std::string("norva/") + SIM});
    ASSERT_EQ(mapped.status, 0) << mapped.err;
    auto mappings = json::parse(mapped.out);
    EXPECT_TRUE(mappings.contains("action_space") && mappings.contains("sensor_space"))
        << mapped.out;
    EXPECT_TRUE(
        lines(docker({"ps", "-q", "--filter", "ancestor=norva/" + std::string(SIM)}).out).empty());

    auto started = norva({"sim", "start", SIM});
    ASSERT_EQ(started.status, 0) << started.err;
    auto table = norva({"sim", "status"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find(SIM), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("localhost:"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("True"), std::string::npos) << table.out;

    auto moniker = norva({"sim", "status", "--sim-name", SIM, "--moniker"});
    ASSERT_EQ(moniker.status, 0) << moniker.err;
    std::string address = lines(moniker.out).at(0);
    EXPECT_EQ(address.rfind("localhost:", 0), 0u) << address;
    auto reached = validate_when_up(address);
    EXPECT_EQ(reached.status, 0) << reached.out << reached.err;

    auto logged = norva({"sim", "logs", SIM});
    EXPECT_EQ(logged.status, 0) << logged.err;
    EXPECT_NE((logged.out + logged.err).find("test sim good started"), std::string::npos)
        << "the simulator's own log reaches the container's";

    EXPECT_EQ(norva({"sim", "stop", "--sim-id", SIM}).status, 0);
    EXPECT_TRUE(lines(docker({"ps", "-aq", "--filter", std::string("name=") + SIM}).out).empty());
    ASSERT_EQ(norva({"sim", "start", SIM}).status, 0);
    EXPECT_EQ(norva({"sim", "stop"}).status, 0);
    EXPECT_TRUE(lines(docker({"ps", "-aq", "--filter", "label=ai.norva.sim"}).out).empty());
}

// A sim author's path with Docker: scaffold, build on the runtime image, then norva's commands.
class AuthorOnEngineTest : public DockerEngineTest {
  protected:
    static constexpr const char* AUTHORED = "thermostat";

    void SetUp() override {
        DockerEngineTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (docker({"image", "inspect", "norva/sim-runtime"}).exit_code != 0) {
            GTEST_SKIP() << "norva/sim-runtime is missing; tests/docker/engine.sh builds it where "
                            "debootstrap can run";
        }
    }

    void TearDown() override {
        if (!IsSkipped()) {
            docker({"rm", "-f", AUTHORED, std::string(AUTHORED) + "-stopped"});
            docker({"image", "rm", "-f", std::string("norva/") + AUTHORED});
        }
        DockerEngineTest::TearDown();
    }

    // `norva sim new --docker`, then the image its README says to build.
    void build_scaffold() {
        auto created = norva({"sim", "new", "--name", AUTHORED, "--description", "Room temperature",
                              "--location", sandbox.dir().path().string(), "--docker"});
        ASSERT_EQ(created.status, 0) << created.err;
        auto built = docker({"build", "--quiet", "--tag", std::string("norva/") + AUTHORED,
                             (sandbox.dir().path() / AUTHORED).string()});
        ASSERT_EQ(built.exit_code, 0) << built.out << built.err;
    }

    std::vector<std::string> containers_named(const std::string& name) {
        return lines(docker({"ps", "-aq", "--filter", "name=^" + name + "$"}).out);
    }
};

TEST_F(AuthorOnEngineTest, AScaffoldIsBuiltStartedCheckedAndStopped) {
    const std::string image = std::string("norva/") + AUTHORED;
    ASSERT_NO_FATAL_FAILURE(build_scaffold());

    auto listed = norva({"sim", "list", "--local"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find(AUTHORED), std::string::npos) << listed.out;

    auto info = norva({"sim", "info", "--name", AUTHORED});
    ASSERT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_NE(info.out.find("Is Port Opened?  True"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("heater_on"), std::string::npos) << "the scaffold's sensor space";
    auto mapped = norva({"sim", "mappings", "--image", image});
    ASSERT_EQ(mapped.status, 0) << mapped.err;
    auto mappings = json::parse(mapped.out);
    EXPECT_EQ(mappings.at("action_space").value("space", ""), "Discrete(3)") << mapped.out;
    EXPECT_TRUE(containers_named(AUTHORED).empty()) << "info and mappings stop what they start";

    ASSERT_EQ(norva({"sim", "start", AUTHORED}).status, 0);
    auto moniker = norva({"sim", "status", "--sim-name", AUTHORED, "--moniker"});
    ASSERT_EQ(moniker.status, 0) << moniker.err;
    std::string address = lines(moniker.out).at(0);
    EXPECT_EQ(address.rfind("localhost:", 0), 0u) << address;
    auto validated = validate_when_up(address);
    EXPECT_EQ(validated.status, 0) << validated.out << validated.err;

    auto logged = norva({"sim", "logs", AUTHORED});
    EXPECT_EQ(logged.status, 0) << logged.err;
    EXPECT_NE((logged.out + logged.err).find("thermostat sim started"), std::string::npos)
        << logged.out << logged.err;

    EXPECT_EQ(norva({"sim", "stop", "--sim-id", AUTHORED}).status, 0);
    EXPECT_TRUE(containers_named(AUTHORED).empty());
}

TEST_F(AuthorOnEngineTest, TheRuntimeEndsOnDockerStopWithoutBeingKilled) {
    ASSERT_NO_FATAL_FAILURE(build_scaffold());
    const std::string container = std::string(AUTHORED) + "-stopped";
    auto started = docker({"run", "--detach", "--name", container, "--publish", "1337",
                           std::string("norva/") + AUTHORED});
    ASSERT_EQ(started.exit_code, 0) << started.err;
    auto port = docker({"port", container, "1337/tcp"});
    ASSERT_EQ(port.exit_code, 0) << port.err;
    const std::string published = lines(port.out).at(0);
    auto validated = validate_when_up("localhost:" + published.substr(published.rfind(':') + 1));
    ASSERT_EQ(validated.status, 0) << validated.out << validated.err;

    // One second before docker kills it (status 137): a server stopped gracefully ends with 0.
    ASSERT_EQ(docker({"stop", "--time", "1", container}).exit_code, 0);
    auto exit_code = docker({"inspect", "--format", "{{.State.ExitCode}}", container});
    auto logged = docker({"logs", container});
    EXPECT_EQ(exit_code.out, "0\n") << logged.err;
    EXPECT_NE(logged.err.find("Gracefully stopping the server"), std::string::npos) << logged.err;
}

// A compute node on the real engine, with the test stack as its installed compose file.
class ComputeOnEngineTest : public DockerEngineTest {
  protected:
    ComputeOnEngineTest() : platform(norva_test::test_ca()) {}

    void SetUp() override {
        DockerEngineTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        sandbox.set_env("NORVA_API_URL", platform.url());
        sandbox.set_env("NORVA_CA_BUNDLE", norva_test::test_ca().ca_file());
        sandbox.set_env("NORVA_API_KEY", "node-key");
        sandbox.set_env("NORVA_TOKEN", "user-token");
        sandbox.set_env("NORVA_ORGANIZATION_ID", "org-1");
        sandbox.add_program("nvidia-smi", "exit 127");
        platform.on("POST", "/v1/clusters/local", {201, R"({"id":"c-42"})"});
        platform.on("DELETE", "/v1/clusters/c-42", {204, ""});
        prefix = sandbox.dir().path() / "prefix";
        fs::create_directories(prefix / "bin");
        fs::create_directories(prefix / "share/norva/compute");
        fs::copy_file(norva_test::norva_binary(), prefix / "bin/norva");
        const auto network_module = "lib/norva/norva-network.so";
        fs::create_directories((prefix / network_module).parent_path());
        fs::copy_file(
            fs::path(norva_test::norva_binary()).parent_path().parent_path() / network_module,
            prefix / network_module);
        fs::copy_file(COMPUTE_STACK_FILE, prefix / "share/norva/compute/docker-compose.yml");
        sandbox.use_program(prefix / "bin/norva");
    }

    void TearDown() override {
        if (!IsSkipped()) {
            compose({"down", "--volumes"});
        }
    }

    // docker-compose v1 itself, so that the test's own calls need no plugin.
    norva_core::process::Result compose(std::vector<std::string> args) {
        args.insert(args.begin(), {"docker-compose", "--project-name", PROJECT, "--file",
                                   (prefix / "share/norva/compute/docker-compose.yml").string()});
        return norva_core::process::run(args);
    }

    std::string redis(const std::vector<std::string>& command) {
        std::vector<std::string> args{"exec", "-T", "redis", "/usr/bin/redis-cli"};
        args.insert(args.end(), command.begin(), command.end());
        return compose(args).out;
    }

    std::vector<std::string> project_objects(const std::string& kind) {
        return lines(docker({kind, "ls", "-q", "--filter",
                             std::string("label=com.docker.compose.project=") + PROJECT})
                         .out);
    }

    std::vector<std::string> project_containers() {
        return lines(docker({"ps", "-aq", "--filter",
                             std::string("label=com.docker.compose.project=") + PROJECT})
                         .out);
    }

    norva_test::FakePlatform platform;
    fs::path prefix;
};

TEST_F(ComputeOnEngineTest, ConnectRunsTheStackWithAFreshCacheAndDisconnectTakesItDown) {
    ASSERT_EQ(compose({"up", "-d", "redis"}).exit_code, 0);
    std::string answer;
    for (int i = 0; i < 50 && answer != "OK\n"; ++i) {
        answer = redis({"SET", "left-over", "1"});
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(answer, "OK\n") << "Redis takes a key before connect";

    auto connected = sandbox.run({"compute", "connect"});
    ASSERT_EQ(connected.status, 0) << connected.out << connected.err;
    EXPECT_EQ(project_containers().size(), 3u);
    EXPECT_EQ(redis({"EXISTS", "left-over"}), "0\n") << "connect flushes the session cache";
    auto status = sandbox.run({"compute", "status", "--json"});
    EXPECT_EQ(json::parse(status.out).value("compute_service_answering", false), true)
        << status.out;

    auto logged = sandbox.run({"compute", "logs", "redis", "--tail", "50"});
    EXPECT_EQ(logged.status, 0) << logged.err;
    EXPECT_NE(logged.out.find("Ready to accept connections"), std::string::npos) << logged.out;

    auto disconnected = sandbox.run({"compute", "disconnect"});
    ASSERT_EQ(disconnected.status, 0) << disconnected.out << disconnected.err;
    EXPECT_TRUE(project_containers().empty());
    EXPECT_TRUE(project_objects("network").empty());
    EXPECT_EQ(project_objects("volume").size(), 1u) << "only the declared Redis volume is kept";
    EXPECT_EQ(platform.requests().back().method, "DELETE");
}

}  // namespace
