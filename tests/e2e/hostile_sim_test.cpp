// What simulators and clients of `sim run` may send that no well-behaved one would: nesting
// that would exhaust the stack, spaces that would exhaust memory, lines without end, and bytes
// that are not the protocol at all. Each must be a clear error, never the end of norva.
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "norva_runner.h"
#include "served_sim.h"
#include "sim.grpc.pb.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_test::NorvaSandbox;
using norva_test::RunResult;
using namespace std::chrono_literals;

const std::string DEEP_ARRAY = std::string(100000, '[') + std::string(100000, ']');

class HostileSimTest : public ::testing::Test {
  protected:
    HostileSimTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    std::string sim(const std::string& mode) const {
        return norva_test::write_test_sim(sandbox.dir().path(), mode).string();
    }

    // Serves the test simulator in a mode; the server's stderr is captured.
    norva_test::ServedSim serve(const std::string& mode, const std::string& protocol) {
        norva_test::ServedSim server(sandbox, sim(mode), {"--protocol", protocol});
        port = server.port();
        return server;
    }

    norva_core::sim::Address address() const { return {"127.0.0.1", port}; }

    static void expect_clear_failure(const RunResult& result, const std::string& message) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE((result.out + result.err).find(message), std::string::npos)
            << result.out << result.err;
    }

    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    int port = 0;
};

TEST_F(HostileSimTest, DeepNestingFromASimulatorIsAClearError) {
    expect_clear_failure(sandbox.run({"sim", "validate", sim("deepobs")}),
                         "the simulator wrote a line that is nested deeper than 256 levels in "
                         "answer to 'reset'");
    expect_clear_failure(sandbox.run({"sim", "benchmark", sim("deepobs"), "--samples", "5"}),
                         "nested deeper than 256 levels in answer to 'reset'");
    expect_clear_failure(sandbox.run({"sim", "validate", sim("deepspace")}),
                         "nested deeper than 256 levels in answer to 'sensor_space'");
}

TEST_F(HostileSimTest, ASpaceTooLargeToSampleIsAValidationError) {
    auto result = sandbox.run({"sim", "validate", sim("hugebox")});
    expect_clear_failure(result, "a value of this space would hold more than 16777216 elements");
    EXPECT_EQ(result.err.find("bad_alloc"), std::string::npos) << result.err;
}

// The largest resident size, in KiB, among norva and what it started while validating the
// folder: a launcher that holds next to no memory reports it.
long peak_kib_validating(NorvaSandbox& sandbox, const std::string& folder, RunResult& result) {
    sandbox.use_program("/usr/bin/python3");
    result = sandbox.run(
        {"-c",
         "import resource, subprocess, sys\n"
         "code = subprocess.run(sys.argv[1:]).returncode\n"
         "print('peak', resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr)\n"
         "sys.exit(code)\n",
         norva_test::norva_binary(), "sim", "validate", folder});
    sandbox.use_program(norva_test::norva_binary());
    auto peak = result.err.find("peak ");
    EXPECT_NE(peak, std::string::npos) << result.err;
    return peak == std::string::npos ? 0 : std::stol(result.err.substr(peak + 5));
}

// The line is 200 MB with no end; norva must stop reading at the limit, not at the time limit.
// Its growth is measured against a run with a good simulator, so that a build with a larger
// footprint of its own (a sanitizer's) is judged alike.
TEST_F(HostileSimTest, AnAnswerLineOverTheLimitFailsTheSimulatorWithinBoundedMemory) {
    sandbox.set_env("NORVA_SIM_MAX_MESSAGE", "8M");
    RunResult result;
    long baseline = peak_kib_validating(sandbox, sim("good"), result);
    EXPECT_EQ(result.status, 0) << result.err;
    long hostile = peak_kib_validating(sandbox, sim("longline"), result);
    expect_clear_failure(result,
                         "the simulator's answer to 'reset' is larger than NORVA_SIM_MAX_MESSAGE "
                         "(8 MiB)");
    EXPECT_LT(hostile - baseline, 48 * 1024) << "norva grew far past the limit";
    for (pid_t pid : norva_test::logged_pids(log)) {
        EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
    }
}

TEST_F(HostileSimTest, AnUnreadableSizeLimitIsNamed) {
    sandbox.set_env("NORVA_SIM_MAX_MESSAGE", "lots");
    expect_clear_failure(sandbox.run({"sim", "validate", sim("good")}),
                         "NORVA_SIM_MAX_MESSAGE must be a number of bytes such as 67108864 or "
                         "64M, not 'lots'");
}

class ServedHostileTest : public HostileSimTest,
                          public ::testing::WithParamInterface<std::string> {};

// The time limit of every answer, for the server and for this process's clients: in the
// sanitizer build on a busy machine a six-megabyte step alone takes tens of seconds, and the test
// is about sizes, not time.
class GenerousAnswerLimit {
  public:
    explicit GenerousAnswerLimit(NorvaSandbox& sandbox) {
        sandbox.set_env("NORVA_SIM_TIMEOUT", "300");
        ::setenv("NORVA_SIM_TIMEOUT", "300", 1);
    }
    ~GenerousAnswerLimit() { ::unsetenv("NORVA_SIM_TIMEOUT"); }
    GenerousAnswerLimit(const GenerousAnswerLimit&) = delete;
    GenerousAnswerLimit& operator=(const GenerousAnswerLimit&) = delete;
};

// Six megabytes each way is more than gRPC's own default allows, and well within norva's.
TEST_P(ServedHostileTest, SixMegabyteObservationsAndActionsCross) {
    GenerousAnswerLimit limit(sandbox);
    auto server = serve("big", GetParam());
    auto session = GetParam() == "grpc" ? norva_core::sim::connect_grpc(address())
                                        : norva_core::sim::connect_http(address());
    session->make("big", Json::object());
    EXPECT_EQ(session->reset().at("observation").size(), 3000000u);
    auto step = session->step(Json(std::vector<int>(3000000, 1)));
    EXPECT_EQ(step.at("observation").size(), 3000000u);
    session->close();
    EXPECT_EQ(server.stop().status, 0);
}

TEST_P(ServedHostileTest, AMessageOverTheLimitIsRefusedAndTheServerGoesOn) {
    sandbox.set_env("NORVA_SIM_MAX_MESSAGE", "1M");
    auto server = serve("good", GetParam());
    auto session = GetParam() == "grpc" ? norva_core::sim::connect_grpc(address())
                                        : norva_core::sim::connect_http(address());
    session->make("env", Json::object());
    try {
        session->step(Json(std::vector<int>(1000000, 1)));
        ADD_FAILURE() << "a 2 MB action was taken";
    } catch (const norva_core::sim::SimulatorError& error) {
        EXPECT_NE(std::string(error.what()).find("NORVA_SIM_MAX_MESSAGE"), std::string::npos)
            << error.what();
    }
    auto other = GetParam() == "grpc" ? norva_core::sim::connect_grpc(address())
                                      : norva_core::sim::connect_http(address());
    other->make("env", Json::object());
    EXPECT_TRUE(other->reset().contains("observation"));
    other->close();
    EXPECT_EQ(server.stop().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ServedHostileTest, ::testing::Values("grpc", "http"));

class HttpClientOfRunTest : public HostileSimTest {
  protected:
    httplib::Result post(const std::string& path, const std::string& body) {
        httplib::Client client("127.0.0.1", port);
        return client.Post(path, body, "application/json");
    }

    // The error text of a JSON error answer.
    static std::string error_of(const httplib::Result& result) {
        auto body = Json::parse(result->body);
        EXPECT_TRUE(body.at("error").is_string()) << result->body;
        return body.at("error").get<std::string>();
    }
};

TEST_F(HttpClientOfRunTest, HostileRequestsGetJsonErrorsWhileOtherSessionsGoOn) {
    auto server = serve("good", "http");
    auto session = norva_core::sim::connect_http(address());
    session->make("env", Json::object());

    auto deep = post("/v1/sessions", R"({"env_init":)" + DEEP_ARRAY + "}");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->status, 400);
    EXPECT_EQ(error_of(deep), "the request body is nested deeper than 256 levels");

    auto listed = post("/v1/sessions", R"({"env_init":[1,2]})");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 400);
    EXPECT_EQ(error_of(listed), "'env_init' must be a JSON object");

    auto broken = post("/v1/sessions", "{\"env_id\": \"\xff\"}");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->status, 400);
    EXPECT_EQ(error_of(broken), "the request body is not JSON");

    auto unknown = post("/v1/nothing", "{}");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(error_of(unknown), "no such route: POST /v1/nothing");

    EXPECT_EQ(session->step(Json::array({0.5, 0.5})).at("observation").at("position"),
              Json::array({0.5, 0.5}));
    session->close();
    // Nothing was started for the refused requests.
    EXPECT_EQ(norva_test::logged_pids(log).size(), 1u);
    EXPECT_EQ(server.stop().status, 0);
}

class GrpcClientOfRunTest : public HostileSimTest {
  protected:
    // Sends raw bytes as the request of a unary method, as a client of another build might.
    grpc::Status call_raw(const std::string& method, const std::string& bytes) {
        auto channel = grpc::CreateChannel(address().text(), grpc::InsecureChannelCredentials());
        grpc::GenericStub stub(channel);
        grpc::Slice slice(bytes);
        grpc::ByteBuffer request(&slice, 1);
        grpc::ByteBuffer reply;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + 10s);
        grpc::Status status;
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        stub.UnaryCall(&context, "/norva.sim.v1.Simulator/" + method, {}, &request, &reply,
                       [&](grpc::Status result) {
                           std::lock_guard lock(mutex);
                           status = std::move(result);
                           finished = true;
                           done.notify_one();
                       });
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return finished; });
        return status;
    }

    grpc::Status make(const std::string& env_init_json) {
        norva::sim::v1::MakeRequest request;
        request.set_env_id("env");
        request.set_env_init_json(env_init_json);
        std::string bytes;
        request.SerializeToString(&bytes);
        return call_raw("Make", bytes);
    }
};

TEST_F(GrpcClientOfRunTest, HostileRequestsAreInvalidArgumentsWhileOtherSessionsGoOn) {
    auto server = serve("good", "grpc");
    auto session = norva_core::sim::connect_grpc(address());
    session->make("env", Json::object());

    auto deep = make(DEEP_ARRAY);
    EXPECT_EQ(deep.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(deep.error_message(), "'env_init_json' is nested deeper than 256 levels");

    auto listed = make("[1, 2]");
    EXPECT_EQ(listed.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(listed.error_message(), "'env_init_json' must be a JSON object");

    // Field 1 (env_id) holding three bytes that are not UTF-8, then bytes that are no message.
    for (const std::string bytes : {"\x0a\x03\xff\xfe\xfd", "\xff\xff\xff\xff"}) {
        auto status = call_raw("Make", bytes);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
        EXPECT_NE(status.error_message().find("not a valid message"), std::string::npos)
            << status.error_message();
    }

    EXPECT_EQ(session->step(Json::array({0.5, 0.5})).at("observation").at("position"),
              Json::array({0.5, 0.5}));
    session->close();
    auto result = server.stop();
    EXPECT_EQ(result.status, 0);
    // The server's output is its own lines (sessions among them) and its simulator's, nothing of
    // gRPC or protobuf.
    std::istringstream lines(result.err);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find("Serving sim") == std::string::npos &&
            line.find("test sim good started") == std::string::npos &&
            line.rfind("Session ", 0) == std::string::npos &&
            line.find("Gracefully stopping") == std::string::npos) {
            ADD_FAILURE() << "unexpected output: " << line;
        }
    }
}

}  // namespace
