// `norva sim run` at its edges: what a client sends is quoted short, a close does not wait for a
// step that hangs, the open-file limit is raised and its end is the server's own refusal, and
// simulators are never handed norva's credentials.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <future>
#include <thread>

#include "curl_call.h"
#include "norva_core/process.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim.pb.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;
using norva_test::curl_call;

class ServedEdgesTest : public ::testing::Test {
  protected:
    ServedEdgesTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    norva_test::ServedSim serve(const std::string& mode,
                                const std::vector<std::string>& options = {}) const {
        std::vector<std::string> all{"--protocol", "http"};
        all.insert(all.end(), options.begin(), options.end());
        return {sandbox, norva_test::write_test_sim(sandbox.dir().path(), mode), all};
    }

    static std::string make_vector(int port, int count) {
        auto made = curl_call(port, "POST", "/v1/vectors", Json{{"num_envs", count}}.dump());
        EXPECT_EQ(made.status, 200) << made.body;
        return made.body.value("vector_id", "");
    }

    // A norva that starts under the open-file limits a shell's ulimit sets.
    void limit_open_files(const std::string& ulimit_option, int files) {
        auto script = sandbox.dir() / "limited-norva";
        std::ofstream(script) << "#!/bin/sh\nulimit " << ulimit_option << " " << files << "\nexec "
                              << norva_test::norva_binary() << " \"$@\"\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        sandbox.use_program(script);
    }

    // What grpcio saw, driving the server in one of tests/clients/grpc_client.py's modes.
    static Json grpcio(int port, const std::string& mode) {
        auto run = norva_core::process::run({"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py",
                                             SIM_PROTO_FILE, std::to_string(port), mode});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return Json::parse(run.out, nullptr, false);
    }

    void expect_no_simulator_left() const {
        for (pid_t pid : norva_test::logged_pids(log)) {
            EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
        }
    }

    norva_test::NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
};

TEST_F(ServedEdgesTest, WhatAClientSentIsQuotedShortAndWrongBodiesAreNamed) {
    auto server = serve("good");
    int port = server.port();
    std::string long_id(10000, 'x');
    auto missing = curl_call(port, "DELETE", "/v1/vectors/" + long_id);
    EXPECT_EQ(missing.status, 404);
    auto error = missing.body.value("error", "");
    EXPECT_LT(error.size(), 200u) << error;
    EXPECT_NE(error.find("… (10000 bytes)"), std::string::npos) << error;
    auto route = curl_call(port, "GET", "/v2/" + long_id);
    EXPECT_LT(route.body.value("error", "").size(), 200u);

    auto vector = make_vector(port, 2);
    auto reset = [&](const std::string& body) {
        return curl_call(port, "POST", "/v1/vectors/" + vector + "/reset", body);
    };
    auto empty = reset(R"({"seeds": []})");
    EXPECT_EQ(empty.status, 400);
    EXPECT_EQ(empty.body.value("error", ""),
              "0 seeds for a vector of 2 simulators; give one each, or one seed for all");
    auto huge = reset(R"({"seed": 1e400})");
    EXPECT_EQ(huge.status, 400);
    EXPECT_EQ(huge.body.value("error", ""),
              "the request body is JSON with a number out of range in 'seed': 1e400");
    auto nested = reset(R"({"options": {"\u001b": [0, -1e400]}})");
    EXPECT_EQ(nested.body.value("error", ""),
              "the request body is JSON with a number out of range in 'options.\\x1b[1]': -1e400");
    EXPECT_EQ(reset(R"({"seeds": [1, 2]})").status, 200);

    // A packed step as a protobuf body, its actions tensor named with 10 KB and an ESC.
    auto packed = curl_call(port, "POST", "/v1/vectors", R"({"num_envs": 2, "packed": true})");
    auto packed_id = packed.body.value("vector_id", "");
    curl_call(port, "POST", "/v1/vectors/" + packed_id + "/reset", "{}");
    norva::sim::v1::StepVectorRequest step;
    auto& actions = *step.mutable_actions();
    actions.set_name("\x1b" + std::string(10000, 'n'));
    actions.set_dtype("float32");
    for (auto size : {2, 2}) {
        actions.add_shape(size);
    }
    actions.set_data(std::string(16, '\0'));
    httplib::Client client("127.0.0.1", port);
    auto misnamed = client.Post("/v1/vectors/" + packed_id + "/step", step.SerializeAsString(),
                                "application/x-protobuf");
    ASSERT_TRUE(misnamed);
    EXPECT_EQ(misnamed->status, 400);
    auto refusal = Json::parse(misnamed->body).value("error", "");
    EXPECT_LT(refusal.size(), 200u) << refusal;
    EXPECT_EQ(refusal.rfind("the actions: the tensor's name must be empty", 0), 0u) << refusal;
    EXPECT_NE(refusal.find("'\\x1bnnn"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("… (10001 bytes)'"), std::string::npos) << refusal;
}

// A request a stream cannot read (bytes that are no message, or a message cut short) ends the
// stream with INVALID_ARGUMENT after the answers before it, never as if the client had ended
// it; the vector stepped stays usable.
TEST_F(ServedEdgesTest, GrpcioSeesAStreamEndWithTheStatusOfARequestItCannotRead) {
    norva_test::ServedSim server(sandbox, norva_test::write_test_sim(sandbox.dir().path(), "good"),
                                 {"--protocol", "grpc"});
    auto seen = grpcio(server.port(), "unreadable");
    for (const char* stream : {"garbage", "cut", "session"}) {
        SCOPED_TRACE(stream);
        EXPECT_EQ(seen[stream]["answers"].size(), 1u);
        EXPECT_EQ(seen[stream]["code"], "INVALID_ARGUMENT");
        auto details = seen[stream]["details"].get<std::string>();
        EXPECT_EQ(details.rfind("the request could not be read: ", 0), 0u) << details;
    }
    EXPECT_EQ(seen["after"]["code"], "OK");
    ASSERT_EQ(seen["after"]["answers"].size(), 1u);
    for (const auto& result : seen["after"]["answers"][0]["results"]) {
        EXPECT_TRUE(result.contains("observation")) << result;
    }
}

// gRPC cuts a long status at 1,000 characters: what a client sent comes after the reason and
// quoted short, so the cut never hides why.
TEST_F(ServedEdgesTest, GrpcioHearsWhyItsPackedActionsAreRefusedBeforeWhatItSent) {
    norva_test::ServedSim server(sandbox, norva_test::write_test_sim(sandbox.dir().path(), "good"),
                                 {"--protocol", "grpc"});
    auto seen = grpcio(server.port(), "tensors");
    for (const char* refusal : {"name", "shape", "number"}) {
        SCOPED_TRACE(refusal);
        EXPECT_EQ(seen[refusal]["code"], "INVALID_ARGUMENT");
        auto details = seen[refusal]["details"].get<std::string>();
        EXPECT_LT(details.size(), 200u) << details;
        EXPECT_EQ(details.find('\x1b'), std::string::npos) << details;
    }
    auto name = seen["name"]["details"].get<std::string>();
    EXPECT_EQ(name.rfind("the actions: the tensor's name must be empty (the space has one leaf), "
                         "not '\\x1bnnn",
                         0),
              0u)
        << name;
    EXPECT_NE(name.find("… (10001 bytes)'"), std::string::npos) << name;
    auto shape = seen["shape"]["details"].get<std::string>();
    EXPECT_EQ(shape.rfind("the actions: the tensor has the shape (2, 1, 1, 1", 0), 0u) << shape;
    EXPECT_NE(shape.find("… (15001 bytes)) where (2, 2) is declared"), std::string::npos) << shape;
    EXPECT_EQ(seen["number"]["details"],
              "'actions_json' is JSON with a number out of range in '[0][1]': 1e400");
}

TEST_F(ServedEdgesTest, AHugeIdOnOneChannelLeavesAnotherStreamOnTheConnectionStepping) {
    norva_test::ServedSim server(sandbox, norva_test::write_test_sim(sandbox.dir().path(), "good"),
                                 {"--protocol", "grpc"});
    auto grpcio =
        norva_core::process::run({"/usr/bin/python3", TEST_CLIENTS_DIR "/grpc_client.py",
                                  SIM_PROTO_FILE, std::to_string(server.port()), "longid"});
    ASSERT_EQ(grpcio.exit_code, 0) << grpcio.err;
    auto seen = Json::parse(grpcio.out);
    EXPECT_EQ(seen["refused"]["code"], "NOT_FOUND");
    auto details = seen["refused"]["details"].get<std::string>();
    EXPECT_LT(details.size(), 200u) << details;
    EXPECT_EQ(details.rfind("no vector 'a\\x00xxx", 0), 0u) << details;
    EXPECT_NE(details.find("(1048578 bytes)"), std::string::npos) << details;
    ASSERT_EQ(seen["after"].size(), 2u);
    for (const auto& result : seen["after"]) {
        EXPECT_TRUE(result.contains("observation")) << result;
    }
}

// The close answers at once and so does the step, however long its time limit.
TEST_F(ServedEdgesTest, ClosingAVectorWhileItsStepHangsEndsItAtOnce) {
    sandbox.set_env("NORVA_SIM_TIMEOUT", "600");
    auto server = serve("hang");
    int port = server.port();
    auto vector = make_vector(port, 2);
    auto step_path = "/v1/vectors/" + vector + "/step";
    auto actions = Json{{"actions", {{0.1, 0.1}, {0.1, 0.1}}}}.dump();
    curl_call(port, "POST", "/v1/vectors/" + vector + "/reset", "{}");
    EXPECT_EQ(curl_call(port, "POST", step_path, actions).status, 200);
    auto hanging =
        std::async(std::launch::async, [&] { return curl_call(port, "POST", step_path, actions); });
    EXPECT_EQ(hanging.wait_for(500ms), std::future_status::timeout) << "the step did not hang";
    EXPECT_EQ(curl_call(port, "DELETE", "/v1/vectors/" + vector).status, 200);
    auto abandoned = hanging.get();
    ASSERT_EQ(abandoned.status, 200) << abandoned.body;
    for (const auto& result : abandoned.body.at("results")) {
        EXPECT_EQ(result.value("error", ""), "its session was closed meanwhile") << result;
    }
    expect_no_simulator_left();
    EXPECT_EQ(server.stop().status, 0);
}

TEST_F(ServedEdgesTest, TheSoftOpenFileLimitIsRaisedForSimulators) {
    // 120 simulators hold 240 of the server's descriptors, past the soft limit it starts with.
    limit_open_files("-Sn", 128);
    auto server = serve("good");
    auto vector = make_vector(server.port(), 120);
    EXPECT_FALSE(vector.empty());
    EXPECT_EQ(server.stop().status, 0);
    expect_no_simulator_left();
}

TEST_F(ServedEdgesTest, RunningOutOfDescriptorsIsTheServersOwnRefusal) {
    limit_open_files("-n", 160);
    auto server = serve("good", {"--max-sessions", "0"});
    int port = server.port();
    auto refused = curl_call(port, "POST", "/v1/vectors", Json{{"num_envs", 100}}.dump());
    EXPECT_EQ(refused.status, 503) << refused.body;
    EXPECT_EQ(refused.body.value("kind", ""), "busy");
    EXPECT_NE(refused.body.value("error", "").find("no room for another simulator"),
              std::string::npos)
        << refused.body;
    // What the refused vector had started is gone; a smaller one fits.
    EXPECT_FALSE(make_vector(port, 10).empty());
    EXPECT_EQ(server.stop().status, 0);
    expect_no_simulator_left();
}

TEST_F(ServedEdgesTest, SimulatorsAreNotHandedNorvasCredentials) {
    sandbox.set_env("NORVA_SIM_TOKEN", "sim-token-1");
    sandbox.set_env("NORVA_TOKEN", "platform-token-2");
    sandbox.set_env("NORVA_API_KEY", "api-key-3");
    auto server = serve("environ");
    std::vector<std::string> token{"Authorization: Bearer sim-token-1"};
    auto made = curl_call(server.port(), "POST", "/v1/sessions", "{}", token);
    ASSERT_EQ(made.status, 200) << made.body;
    auto id = made.body.at("session_id").get<std::string>();
    auto reset = curl_call(server.port(), "POST", "/v1/sessions/" + id + "/reset", "{}", token);
    ASSERT_EQ(reset.status, 200) << reset.body;
    EXPECT_EQ(reset.body.at("info").at("credentials"), Json::array());
}

// Flags decide whether an episode ended: a number there fails the simulator, served or
// validated, with the simulator's fault named.
TEST_F(ServedEdgesTest, ANumberForAFlagFailsTheSimulator) {
    auto folder = norva_test::write_test_sim(sandbox.dir().path(), "numflags");
    {
        norva_test::ServedSim server(sandbox, folder, {"--protocol", "http"});
        auto made = curl_call(server.port(), "POST", "/v1/sessions", "{}");
        auto id = made.body.at("session_id").get<std::string>();
        curl_call(server.port(), "POST", "/v1/sessions/" + id + "/reset", "{}");
        auto step = curl_call(server.port(), "POST", "/v1/sessions/" + id + "/step",
                              R"({"action": [0, 0]})");
        EXPECT_EQ(step.status, 502) << step.body;
        EXPECT_EQ(step.body.value("error", ""),
                  "the simulator's \"terminated\" is 0, not true or false");
    }
    auto validated = sandbox.run({"sim", "validate", folder});
    EXPECT_EQ(validated.status, 1);
    EXPECT_NE(validated.out.find("not true or false"), std::string::npos) << validated.out;
    EXPECT_EQ(validated.err.find("json.exception"), std::string::npos) << validated.err;
}

// Served observations outside the sensor space go on to the client, counted, and the first of
// each session is logged with where it lies outside.
TEST_F(ServedEdgesTest, ObservationsOutsideTheSensorSpaceAreCountedAndTheFirstLogged) {
    auto server = serve("walls");
    int port = server.port();
    auto id =
        curl_call(port, "POST", "/v1/sessions", "{}").body.at("session_id").get<std::string>();
    // Seed 10 starts at x = 5: three pushes reach the wall.
    curl_call(port, "POST", "/v1/sessions/" + id + "/reset", R"({"seed": 10})");
    Json observation;
    for (int step = 0; step < 3; ++step) {
        auto stepped =
            curl_call(port, "POST", "/v1/sessions/" + id + "/step", R"({"action": [1, 0]})");
        ASSERT_EQ(stepped.status, 200) << stepped.body;
        observation = stepped.body.at("observation");
    }
    EXPECT_EQ(observation.at("position").at(0), 10.5);
    curl_call(port, "POST", "/v1/sessions/" + id + "/reset", R"({"seed": 10})");
    for (int step = 0; step < 3; ++step) {
        curl_call(port, "POST", "/v1/sessions/" + id + "/step", R"({"action": [1, 0]})");
    }
    auto metrics = norva_core::process::run(
        {"curl", "-sS", "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
    EXPECT_NE(metrics.out.find("\nnorva_sim_observations_outside_space_total 2\n"),
              std::string::npos)
        << metrics.out;
    auto log_lines = server.stop().err;
    auto first = log_lines.find("gave an observation outside its sensor space");
    ASSERT_NE(first, std::string::npos) << log_lines;
    EXPECT_NE(log_lines.find("position[0]: 10.5 above high 10.0", first), std::string::npos);
    EXPECT_EQ(log_lines.find("gave an observation outside", first + 1), std::string::npos)
        << "logged more than the first";
}

}  // namespace
