// `norva sim run` as its clients meet it: Python's own HTTP client on kept-alive and pipelined
// connections and under load, curl, the session limits on both protocols, and a program that
// cannot start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <thread>

#include "norva_core/unique_fd.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_test::NorvaSandbox;
using norva_test::RunResult;
using namespace std::chrono_literals;

class SimServingTest : public ::testing::Test {
  protected:
    SimServingTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    norva_test::ServedSim serve(const std::string& protocol, std::vector<std::string> options = {},
                                const std::string& mode = "good") {
        options.insert(options.begin(), {"--protocol", protocol});
        norva_test::ServedSim server(
            sandbox, norva_test::write_test_sim(sandbox.dir().path(), mode), options);
        port = server.port();
        return server;
    }

    // Runs the Python client in a mode and gives what it printed.
    Json python(const std::vector<std::string>& args, std::optional<int> on_port = {}) const {
        std::vector<std::string> argv{"python3", TEST_CLIENTS_DIR "/http_client.py"};
        argv.push_back(args.front());
        argv.push_back(std::to_string(on_port.value_or(port)));
        argv.insert(argv.end(), args.begin() + 1, args.end());
        auto result = norva_core::process::run(argv);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.exit_code == 0 ? Json::parse(result.out) : Json();
    }

    std::unique_ptr<norva_core::sim::Simulator> client(const std::string& protocol) const {
        norva_core::sim::Address address{"127.0.0.1", port};
        return protocol == "grpc" ? norva_core::sim::connect_grpc(address)
                                  : norva_core::sim::connect_http(address);
    }

    void expect_no_simulator_left() const {
        for (pid_t pid : norva_test::logged_pids(log)) {
            EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
        }
    }

    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    int port = 0;
};

TEST_F(SimServingTest, AKeptAliveConnectionOutlastsAPauseAndPipelinedRequestsAreAnsweredInOrder) {
    auto server = serve("http");
    auto paused = python({"pause"});
    EXPECT_EQ(paused["first"]["position"], Json::array({0.25, 0.25}));
    EXPECT_EQ(paused["second"]["position"], Json::array({0.5, 0.5}));

    auto pipelined = python({"pipeline"});
    ASSERT_EQ(pipelined["answers"].size(), 2u);
    EXPECT_EQ(pipelined["answers"][0]["status"], 200);
    EXPECT_EQ(pipelined["answers"][0]["body"], (Json{{"status", "ok"}}));
    EXPECT_EQ(pipelined["answers"][1]["status"], 404);
    EXPECT_EQ(pipelined["answers"][1]["body"]["error"],
              "no session 'none'; it was closed or never made");
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(SimServingTest, IdleConnectionsDoNotKeepANewClientWaiting) {
    auto server = serve("http");
    auto seen = python({"idle", "256"});
    EXPECT_EQ(seen["held"], 256);
    EXPECT_EQ(seen["observation"]["position"], Json::array({0.25, 0.25}));
    EXPECT_LT(seen["seconds"].get<double>(), 10.0);
    // Stopping does not wait for the idle connections.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop().status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// 64 clients, each with a session of 40 steps and a new connection for every request.
TEST_F(SimServingTest, LoadWithANewConnectionPerRequestLosesNothing) {
    auto server = serve("http");
    auto loaded = python({"load", "64", "40"});
    EXPECT_EQ(loaded["failed"], 0) << loaded["failures"].dump();
    EXPECT_EQ(loaded["answered"], 64 * 43);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 64u);
    expect_no_simulator_left();
    auto after = client("http");
    after->make("after", Json::object());
    after->close();
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(SimServingTest, CurlSendsALargeBodyAfterAskingToContinue) {
    auto server = serve("http");
    // curl asks "Expect: 100-continue" for a body this size and waits for the answer.
    std::string body =
        Json{{"env_id", "curl"}, {"env_init", {{"pad", std::string(2 << 20, 'p')}}}}.dump();
    norva_test::write_file(sandbox.dir() / "body.json", body);
    auto curl = norva_core::process::run(
        {"curl", "-sS", "--max-time", "20", "-H", "Content-Type: application/json", "--data-binary",
         "@" + (sandbox.dir() / "body.json"), "-w", "\n%{http_code}",
         "http://127.0.0.1:" + std::to_string(port) + "/v1/sessions"});
    EXPECT_EQ(curl.exit_code, 0) << curl.err;
    EXPECT_NE(curl.out.find("\"session_id\""), std::string::npos) << curl.out;
    EXPECT_EQ(curl.out.substr(curl.out.rfind('\n') + 1), "200");
    EXPECT_EQ(server.stop().status, 0);
}

// A scrape by Python's HTTP client whose every line kept to the text format.
void expect_well_formed(const Json& scraped) {
    EXPECT_EQ(scraped.at("status"), 200);
    EXPECT_EQ(scraped.at("content_type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(scraped.at("errors"), Json::array()) << scraped.dump(2);
    EXPECT_EQ(scraped.at("types"), Json::parse(R"({
        "norva_sim_sessions_open": "gauge",
        "norva_sim_processes": "gauge",
        "norva_sim_sessions_created_total": "counter",
        "norva_sim_steps_total": "counter",
        "norva_sim_step_duration_seconds": "histogram",
        "norva_sim_session_start_failures_total": "counter",
        "norva_sim_simulator_failures_total": "counter",
        "norva_sim_answers_over_time_limit_total": "counter",
        "norva_sim_actions_out_of_bounds_total": "counter",
        "norva_sim_observations_outside_space_total": "counter",
        "norva_sim_steps_refused_total": "counter",
        "norva_sim_resident_memory_bytes": "gauge"})"));
}

TEST_F(SimServingTest, MetricsCountSessionsStepsAndTheirLatency) {
    auto server = serve("http");
    auto loaded = python({"load", "3", "5"});
    ASSERT_EQ(loaded.at("failed"), 0) << loaded.dump();
    auto open = client("http");
    open->make("kept", Json::object());
    open->reset();
    open->step(Json::array({0.1, 0.1}));
    open->step(Json::array({0.1, 0.1}));

    auto scraped = python({"scrape"});
    expect_well_formed(scraped);
    const auto& samples = scraped.at("samples");
    EXPECT_EQ(samples.at("norva_sim_sessions_open"), 1);
    EXPECT_EQ(samples.at("norva_sim_processes"), 1);
    EXPECT_EQ(samples.at("norva_sim_sessions_created_total"), 4);
    EXPECT_EQ(samples.at("norva_sim_steps_total"), 17);
    EXPECT_EQ(samples.at("norva_sim_step_duration_seconds_count"), 17);
    EXPECT_EQ(samples.at("norva_sim_step_duration_seconds_bucket{le=\"+Inf\"}"), 17);
    EXPECT_GT(samples.at("norva_sim_step_duration_seconds_sum").get<double>(), 0);
    // Buckets in the order written, each counting the steps at or below its bound.
    double previous = 0;
    int buckets = 0;
    for (const auto& [name, value] : samples.items()) {
        if (name.rfind("norva_sim_step_duration_seconds_bucket", 0) == 0) {
            ++buckets;
            EXPECT_GE(value.get<double>(), previous) << name;
            previous = value.get<double>();
        }
    }
    EXPECT_EQ(buckets, 17) << "sixteen bounds and +Inf";
    EXPECT_EQ(samples.at("norva_sim_simulator_failures_total"), 0);
    EXPECT_EQ(samples.at("norva_sim_answers_over_time_limit_total"), 0);
    EXPECT_GT(samples.at("norva_sim_resident_memory_bytes").get<double>(), 1 << 20);
    open->close();
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(SimServingTest, AMetricsPortBesideGrpcCountsASimulatorThatGaveNoAnswer) {
    sandbox.set_env("NORVA_SIM_TIMEOUT", "0.5");
    int metrics_port = norva_test::free_port();
    auto server = serve("grpc", {"--metrics-port", std::to_string(metrics_port)}, "hang");
    auto hanging = client("grpc");
    hanging->make("hang", Json::object());
    hanging->reset();
    hanging->step(Json::array({0.1, 0.1}));
    EXPECT_THROW(hanging->step(Json::array({0.1, 0.1})), norva_core::sim::SimulatorError);

    auto scraped = python({"scrape"}, metrics_port);
    expect_well_formed(scraped);
    const auto& samples = scraped.at("samples");
    EXPECT_EQ(samples.at("norva_sim_sessions_open"), 0) << "the failed session was closed";
    EXPECT_EQ(samples.at("norva_sim_sessions_created_total"), 1);
    EXPECT_EQ(samples.at("norva_sim_steps_total"), 1);
    EXPECT_EQ(samples.at("norva_sim_simulator_failures_total"), 1);
    EXPECT_EQ(samples.at("norva_sim_answers_over_time_limit_total"), 1);

    auto other = norva_core::process::run(
        {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
         "http://127.0.0.1:" + std::to_string(metrics_port) + "/v1/health"});
    EXPECT_EQ(other.out, "404") << "the metrics port serves nothing else";
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(SimServingTest, TheMetricsPortMustBeAPortOfItsOwn) {
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "good");
    auto same = sandbox.run({"sim", "run", folder, "--port", "4100", "--metrics-port", "4100"});
    EXPECT_EQ(same.status, 1);
    EXPECT_NE(same.err.find("is the sim's own port"), std::string::npos) << same.err;
    auto bad = sandbox.run({"sim", "run", folder, "--metrics-port", "70000"});
    EXPECT_NE(bad.err.find("'--metrics-port': 70000 is not a port number"), std::string::npos)
        << bad.err;
}

class SessionLimitTest : public SimServingTest,
                         public ::testing::WithParamInterface<std::string> {};

TEST_P(SessionLimitTest, SessionsPastTheMostAreRefusedWithAMessage) {
    auto server = serve(GetParam(), {"--max-sessions", "1"});
    auto first = client(GetParam());
    first->make("one", Json::object());
    auto second = client(GetParam());
    try {
        second->make("two", Json::object());
        ADD_FAILURE() << "a second session was opened";
    } catch (const norva_core::sim::SimulatorError& error) {
        EXPECT_NE(std::string(error.what())
                      .find("the server holds its most sessions (1, --max-sessions)"),
                  std::string::npos)
            << error.what();
    }
    first->close();
    auto third = client(GetParam());
    third->make("three", Json::object());
    third->close();
    EXPECT_EQ(norva_test::logged_pids(log).size(), 2u) << "a refused session started a simulator";
    EXPECT_EQ(server.stop().status, 0);
}

TEST_P(SessionLimitTest, ASessionWithoutCallsForItsTimeoutIsClosed) {
    auto server = serve(GetParam(), {"--session-timeout", "1"});
    auto quiet = client(GetParam());
    quiet->make("quiet", Json::object());
    auto busy = client(GetParam());
    busy->make("busy", Json::object());
    for (int i = 0; i < 12; ++i) {
        busy->reset();
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_NO_THROW(busy->reset()) << "a session in use was closed";
    try {
        quiet->reset();
        ADD_FAILURE() << "the quiet session was still open";
    } catch (const norva_core::sim::SimulatorError& error) {
        // The server remembers why it closed it.
        EXPECT_NE(std::string(error.what()).find("' was closed after "), std::string::npos)
            << error.what();
        EXPECT_NE(std::string(error.what()).find(" s without calls (--session-timeout)"),
                  std::string::npos)
            << error.what();
    }
    auto pids = norva_test::logged_pids(log);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_FALSE(norva_test::process_exists(pids[0])) << "the closed session's simulator runs on";
    busy->close();
    EXPECT_EQ(server.stop().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, SessionLimitTest, ::testing::Values("grpc", "http"));

class SeededResetTest : public SimServingTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(SeededResetTest, SeedAndOptionsReachTheSimulatorAndWrongOptionsAreRefused) {
    auto server = serve(GetParam());
    auto session = client(GetParam());
    session->make("seeded", Json::object());
    auto info = session->reset_with({7, Json{{"level", 2}}}).at("info");
    EXPECT_EQ(info.at("seed"), 7);
    EXPECT_EQ(info.at("options"), (Json{{"level", 2}}));
    EXPECT_FALSE(session->reset().at("info").contains("seed")) << "a plain reset stays plain";
    try {
        session->reset_with({std::nullopt, Json::array({1})});
        ADD_FAILURE() << "options that are no object were taken";
    } catch (const norva_core::sim::SimulatorError& error) {
        EXPECT_NE(std::string(error.what()).find("'options' must be a JSON object, not [1]"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_NO_THROW(session->reset()) << "the session goes on";
    EXPECT_EQ(server.stop().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, SeededResetTest, ::testing::Values("grpc", "http"));

// Python's own client, as a trainer's Gymnasium wrapper would send them: a null seed is none.
TEST_F(SimServingTest, PythonsHttpClientSeedsResetsAndWrongSeedsAreRefused) {
    auto server = serve("http");
    auto seen = python({"seeds"});
    EXPECT_EQ(seen["seeded"]["seed"], 7);
    EXPECT_EQ(seen["seeded"]["options"], (Json{{"level", 2}}));
    EXPECT_FALSE(seen["plain"].contains("seed"));
    EXPECT_FALSE(seen["after"].contains("seed"));
    ASSERT_EQ(seen["refused"].size(), 6u);
    for (const auto& refusal : seen["refused"]) {
        EXPECT_EQ(refusal["status"], 400) << refusal;
        EXPECT_EQ(refusal["kind"], "invalid") << refusal;
    }
    EXPECT_EQ(seen["refused"][0]["error"], "'seed' must be a non-negative integer, not -1");
    EXPECT_EQ(seen["refused"][5]["error"], "'options' must be a JSON object, not \"x\"");
    EXPECT_EQ(server.stop().status, 0);
}

// A connected socket to the server that sends `bytes` and then nothing more.
norva_core::UniqueFd quiet_client(int port, const std::string& bytes) {
    norva_core::UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(norva_core::write_all(socket.get(), bytes));
    return socket;
}

// Whether the server closes the connection within the bound.
bool closed_by_server(const norva_core::UniqueFd& socket, std::chrono::milliseconds bound) {
    pollfd entry{socket.get(), POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, static_cast<int>(bound.count())) == 1 &&
           ::recv(socket.get(), &byte, 1, 0) == 0;
}

TEST_F(SimServingTest, IdleAndStalledConnectionsAreDroppedAfterTheirLimits) {
    sandbox.set_env("NORVA_SIM_IDLE_LIMIT", "0.5");
    sandbox.set_env("NORVA_SIM_STALL_LIMIT", "0.5");
    auto server = serve("http");
    auto idle = quiet_client(port, "");
    auto stalled = quiet_client(port, "POST /v1/sessions HTTP/1.1\r\nHost: x\r\n");
    EXPECT_TRUE(closed_by_server(idle, 5s));
    EXPECT_TRUE(closed_by_server(stalled, 5s));
    EXPECT_NO_THROW(client("http")->make("after", Json::object())) << "the server goes on";
    EXPECT_EQ(server.stop().status, 0);
}

// The template's thermostat draws its start from the seed, so a seeded run can be repeated.
TEST_F(SimServingTest, TheTemplateSimHonoursTheSeed) {
    ASSERT_EQ(sandbox.run({"sim", "new", "-n", "thermo", "-d", "t", "-l", "."}).status, 0);
    norva_test::ServedSim server(sandbox, sandbox.dir() / "thermo", {"--protocol", "http"});
    auto session = norva_core::sim::connect_http({"127.0.0.1", server.port()});
    session->make("thermostat", Json::object());
    auto first = session->reset_with({3, std::nullopt}).at("observation");
    session->step(2);
    EXPECT_EQ(session->reset_with({3, std::nullopt}).at("observation"), first);
    EXPECT_NE(session->reset_with({4, std::nullopt}).at("observation"), first);
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(SimServingTest, RunRefusesAProgramThatCannotStartBeforeItBinds) {
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "good");
    std::filesystem::create_directories(folder / "a-folder");
    norva_test::write_file(folder / "plain.txt", "not a program");
    for (const auto& [program, problem] : std::vector<std::pair<std::string, std::string>>{
             {"no-such-simulator-program", "was not found"},
             {"./a-folder", "is a folder"},
             {"./plain.txt", "is not executable"}}) {
        norva_test::write_file(folder / "norva-sim.toml",
                               "name = \"x\"\ndescription = \"d\"\ntype = \"sim\"\nversion = "
                               "\"1\"\ncommand = [\"" +
                                   program + "\"]\n");
        std::string message = "Cannot start the simulator: the program '" + program +
                              "' of the manifest's command " + problem;
        port = norva_test::free_port();
        auto ran = sandbox.run({"sim", "run", folder, "--port", std::to_string(port)});
        EXPECT_EQ(ran.status, 1);
        EXPECT_NE(ran.err.find("Error: " + message), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find("Serving"), std::string::npos) << ran.err;
        auto validated = sandbox.run({"sim", "validate", folder});
        EXPECT_NE((validated.out + validated.err).find(message), std::string::npos)
            << validated.out << validated.err;
    }
}

}  // namespace
