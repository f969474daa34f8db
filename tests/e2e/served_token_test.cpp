// `norva sim run` with a token: every call but the health probe must carry it, on both protocols,
// from clients nobody here wrote and from norva's own; a call without it starts nothing, and the
// token is in no output.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "norva_core/process.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;

const std::string TOKEN = "s3cret-token-5f2a";

class ServedTokenTest : public ::testing::Test {
  protected:
    ServedTokenTest() {
        sandbox.set_env("TEST_SIM_LOG", log);
        norva_test::write_file(token_file, TOKEN + "\n");
    }

    norva_test::ServedSim serve(const std::string& protocol) const {
        return norva_test::ServedSim(sandbox,
                                     norva_test::write_test_sim(sandbox.dir().path(), "good"),
                                     {"--protocol", protocol, "--token-file", token_file});
    }

    // curl's status line and body for one request, with the headers given.
    std::pair<int, std::string> curl(int port, const std::string& method, const std::string& path,
                                     const std::vector<std::string>& headers = {}) const {
        std::vector<std::string> argv{"curl", "-sS", "-X", method, "-w", "\n%{http_code}"};
        for (const auto& header : headers) {
            argv.insert(argv.end(), {"-H", header});
        }
        if (method == "POST") {
            argv.insert(argv.end(), {"-d", R"({"env_id": "curl", "env_init": {}})"});
        }
        argv.push_back("http://127.0.0.1:" + std::to_string(port) + path);
        auto done = norva_core::process::run(argv);
        auto split = done.out.rfind('\n');
        return {std::stoi(done.out.substr(split + 1)), done.out.substr(0, split)};
    }

    norva_test::NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    std::string token_file = sandbox.dir() / "token";
};

TEST_F(ServedTokenTest, HttpCallsNeedTheTokenAndTheHealthProbeDoesNot) {
    auto server = serve("http");
    int port = server.port();
    EXPECT_EQ(curl(port, "GET", "/v1/health").first, 200);
    auto missing = curl(port, "POST", "/v1/sessions");
    EXPECT_EQ(missing.first, 401);
    EXPECT_EQ(Json::parse(missing.second).at("kind"), "unauthenticated");
    EXPECT_NE(missing.second.find("this server needs a token"), std::string::npos);
    auto wrong = curl(port, "POST", "/v1/sessions", {"Authorization: Bearer " + TOKEN + "x"});
    EXPECT_EQ(wrong.first, 401);
    EXPECT_EQ(Json::parse(wrong.second).at("error"), "the token is not this server's");
    EXPECT_EQ(curl(port, "GET", "/metrics").first, 401);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 0u) << "a refused call started a simulator";

    auto twice = curl(port, "POST", "/v1/sessions",
                      {"Authorization: Bearer " + TOKEN, "Authorization: Bearer " + TOKEN});
    EXPECT_EQ(twice.first, 401);
    EXPECT_NE(twice.second.find("send the token once"), std::string::npos) << twice.second;
    EXPECT_EQ(norva_test::logged_pids(log).size(), 0u) << "a refused call started a simulator";

    auto right = curl(port, "POST", "/v1/sessions", {"Authorization: Bearer " + TOKEN});
    EXPECT_EQ(right.first, 200) << right.second;
    // The scheme is matched without case, and blanks around the token count for nothing.
    EXPECT_EQ(curl(port, "POST", "/v1/sessions", {"Authorization: bearer  " + TOKEN + " "}).first,
              200);
    EXPECT_EQ(curl(port, "GET", "/metrics", {"Authorization: Bearer " + TOKEN}).first, 200);

    // norva's own clients send NORVA_SIM_TOKEN.
    auto address = "http://" + server.address();
    auto refused = sandbox.run({"sim", "benchmark", "--address", address, "--samples", "5"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("this server needs a token"), std::string::npos) << refused.err;
    sandbox.set_env("NORVA_SIM_TOKEN", TOKEN);
    auto measured = sandbox.run({"sim", "benchmark", "--address", address, "--samples", "5"});
    EXPECT_EQ(measured.status, 0) << measured.err;
    auto stopped = server.stop();
    EXPECT_EQ(stopped.status, 0);
    for (const auto& output :
         {refused.out, refused.err, measured.out, measured.err, stopped.out, stopped.err}) {
        EXPECT_EQ(output.find(TOKEN), std::string::npos) << output;
    }
}

TEST_F(ServedTokenTest, GrpcCallsNeedTheTokenAsMetadata) {
    auto server = serve("grpc");
    norva_core::process::Options with_token;
    with_token.env = norva_core::process::environment();
    with_token.env->push_back("SIM_TOKEN=" + TOKEN);
    auto grpcio = norva_core::process::run({"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py",
                                            SIM_PROTO_FILE, std::to_string(server.port()), "token"},
                                           with_token);
    ASSERT_EQ(grpcio.exit_code, 0) << grpcio.err;
    auto seen = Json::parse(grpcio.out);
    EXPECT_EQ(seen["missing"]["code"], "UNAUTHENTICATED");
    EXPECT_EQ(seen["wrong"],
              (Json{{"code", "UNAUTHENTICATED"}, {"details", "the token is not this server's"}}));
    EXPECT_EQ(seen["right"], "made");
    // The scheme is matched without case; the token sent twice is refused, as over HTTP.
    EXPECT_EQ(seen["lowercase"], "made");
    EXPECT_EQ(seen["twice"]["code"], "UNAUTHENTICATED");
    EXPECT_NE(seen["twice"]["details"].get<std::string>().find("send the token once"),
              std::string::npos);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 2u)
        << "only the calls with the token once started one";

    sandbox.set_env("NORVA_SIM_TOKEN", TOKEN);
    auto validated = sandbox.run({"sim", "validate", "--address", server.address()});
    EXPECT_EQ(validated.status, 0) << validated.err;
    auto stopped = server.stop();
    for (const auto& output : {validated.out, validated.err, stopped.err}) {
        EXPECT_EQ(output.find(TOKEN), std::string::npos) << output;
    }
}

TEST_F(ServedTokenTest, ATokenFileThatHoldsNoTokenIsRefusedBeforeServing) {
    norva_test::write_file(token_file, "\n");
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "good").string();
    auto empty = sandbox.run({"sim", "run", folder, "--token-file", token_file});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "Error: The token file " + token_file + " holds no token\n");
    auto missing = sandbox.run({"sim", "run", folder, "--token-file", token_file + ".gone"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: Cannot read the token file " + token_file +
                               ".gone: No such file or directory\n");
}

}  // namespace

// Fleet engines probe with the standard health service and no token; it fails exactly while
// simulators cannot start, as GET /v1/health does.
TEST_F(ServedTokenTest, GrpcHealthServiceAnswersProbesWithoutTheToken) {
    auto folder = norva_test::write_movable_test_sim(sandbox.dir().path());
    auto program = folder / "simulator";
    norva_test::ServedSim server(sandbox, folder.string(),
                                 {"--protocol", "grpc", "--token-file", token_file});
    norva_core::process::Options with_token;
    with_token.env = norva_core::process::environment();
    with_token.env->push_back("SIM_TOKEN=" + TOKEN);
    auto grpcio = norva_core::process::run(
        {"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py", SIM_PROTO_FILE,
         std::to_string(server.port()), "health", program.string()},
        with_token);
    ASSERT_EQ(grpcio.exit_code, 0) << grpcio.err;
    auto seen = Json::parse(grpcio.out);
    EXPECT_EQ(seen["check"], "SERVING");
    EXPECT_EQ(seen["watched"], "SERVING");
    EXPECT_EQ(seen["makes"], (Json{"INTERNAL", "INTERNAL", "INTERNAL"})) << seen;
    EXPECT_EQ(seen["failing_check"], "NOT_SERVING");
    EXPECT_EQ(seen["failing_service_check"], "NOT_SERVING");
    EXPECT_EQ(seen["failing_watched"], "NOT_SERVING");
    EXPECT_EQ(seen["unknown"], "NOT_FOUND");
    EXPECT_EQ(seen["unknown_watched"], "SERVICE_UNKNOWN");
}
