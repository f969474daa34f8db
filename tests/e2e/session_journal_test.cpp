// What `norva sim run` says about its sessions: a log line for each that opens, closes or fails,
// the reason a client hears for a session the server closed on its own, and a health answer
// that tells a probe when sessions cannot start.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "curl_call.h"
#include "norva_core/process.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

class SessionJournalTest : public ::testing::Test {
  protected:
    SessionJournalTest() { sandbox.set_env("TEST_SIM_LOG", sandbox.dir() / "sims.log"); }

    // One request to the server, as curl sends it.
    static norva_test::CurlAnswer call(int port, const std::string& method, const std::string& path,
                                       const Json& body = nullptr) {
        return norva_test::curl_call(port, method, path, body.is_null() ? "" : body.dump());
    }

    std::string open(int port, const std::string& env_id) const {
        auto made =
            call(port, "POST", "/v1/sessions", {{"env_id", env_id}, {"env_init", Json::object()}});
        EXPECT_EQ(made.status, 200) << made.body;
        return made.body.value("session_id", "");
    }

    norva_test::NorvaSandbox sandbox;
};

TEST_F(SessionJournalTest, EverySessionIsLoggedAndOneTimedOutSaysSo) {
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "crash");
    norva_test::ServedSim server(sandbox, folder, {"--protocol", "http", "--session-timeout", "1"});
    int port = server.port();
    auto closed = open(port, "by-client");
    EXPECT_EQ(call(port, "DELETE", "/v1/sessions/" + closed).status, 200);
    auto idle = open(port, "idle");
    // The "crash" simulator ends at its second step.
    auto crashing = open(port, "crashing");
    call(port, "POST", "/v1/sessions/" + crashing + "/reset", Json::object());
    call(port, "POST", "/v1/sessions/" + crashing + "/step", {{"action", {0.1, 0.1}}});
    auto failed =
        call(port, "POST", "/v1/sessions/" + crashing + "/step", {{"action", {0.1, 0.1}}});
    EXPECT_EQ(failed.status, 502) << failed.body;

    std::this_thread::sleep_for(2500ms);
    auto gone = call(port, "POST", "/v1/sessions/" + idle + "/reset", Json::object());
    EXPECT_EQ(gone.status, 404);
    auto error = gone.body.value("error", "");
    EXPECT_EQ(error.rfind("session '" + idle + "' was closed after ", 0), 0u) << error;
    EXPECT_NE(error.find(" s without calls (--session-timeout)"), std::string::npos) << error;
    EXPECT_EQ(call(port, "DELETE", "/v1/sessions/never-made").body.value("error", ""),
              "no session 'never-made'; it was closed or never made");

    auto left_open = open(port, "left\nopen");
    auto stopped = server.stop(SIGTERM);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    const auto& log = stopped.err;
    for (const std::string& line : {
             "Session " + closed + " (env 'by-client') opened\n",
             "Session " + closed + " (env 'by-client') closed by its client\n",
             "Session " + idle + " (env 'idle') closed after ",
             "Session " + crashing +
                 " (env 'crashing') failed: the simulator ended (exit status 3)",
             // What a client sends is shown, never obeyed: the line end stays escaped.
             "Session " + left_open + " (env 'left\\nopen') closed as the server stops\n",
         }) {
        EXPECT_NE(log.find(line), std::string::npos) << "no line " << line << " in\n" << log;
    }
}

TEST_F(SessionJournalTest, HealthFailsWhileSessionsCannotStartAndRecoversWhenOneDoes) {
    auto folder = norva_test::write_movable_test_sim(sandbox.dir().path());
    auto program = folder / "simulator";
    norva_test::ServedSim server(sandbox, folder.string(), {"--protocol", "http"});
    int port = server.port();
    EXPECT_EQ(call(port, "GET", "/v1/health").status, 200);

    std::filesystem::rename(program, folder / "away");
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(call(port, "POST", "/v1/sessions", {{"env_id", "e"}}).status, 502);
    }
    auto unhealthy = call(port, "GET", "/v1/health");
    EXPECT_EQ(unhealthy.status, 503);
    EXPECT_EQ(unhealthy.body.value("status", ""), "failing");
    EXPECT_NE(unhealthy.body.value("error", "")
                  .find("the last 3 sessions could not start: Cannot "
                        "start the simulator: the program '"),
              std::string::npos)
        << unhealthy.body;
    auto metrics = norva_core::process::run(
        {"curl", "-sS", "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
    EXPECT_NE(metrics.out.find("\nnorva_sim_session_start_failures_total 3\n"), std::string::npos)
        << metrics.out;

    std::filesystem::rename(folder / "away", program);
    open(port, "e");
    EXPECT_EQ(call(port, "GET", "/v1/health").status, 200);
    auto stopped = server.stop();
    EXPECT_NE(stopped.err.find("A session for env 'e' could not start: Cannot start the "
                               "simulator: the program '"),
              std::string::npos)
        << stopped.err;
}

}  // namespace
