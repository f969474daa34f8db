// What a served vector's slots go through when something goes wrong around them: calls on a slot
// as a session of its own, clients that pause between steps, environments that answer errors,
// and observations their declared dtype cannot hold. The server serves on, on both protocols,
// JSON and packed.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "norva_core/process.h"
#include "norva_runner.h"
#include "served_sim.h"
#include "sim.grpc.pb.h"
#include "sim/common/simulator.h"
#include "sim/common/wire_errors.h"
#include "test_sims.h"

namespace {

namespace v1 = norva::sim::v1;
namespace wire_errors = norva_core::sim::wire_errors;
using norva_core::sim::Json;
using namespace std::chrono_literals;

// A call's outcome as its client sees it: the reply, or the kind and text of its error.
struct Outcome {
    Json json;
    std::optional<v1::PackedReply> packed;
    std::string kind;
    std::string error;

    bool ok() const { return kind.empty(); }
    // The vector's results of a JSON reply.
    const Json& results() const { return json.at("results"); }
};

std::string kind_of_grpc(grpc::StatusCode code) {
    for (const auto* form : {&wire_errors::ANSWERED, &wire_errors::TIMED_OUT, &wire_errors::FAILED,
                             &wire_errors::NOT_FOUND, &wire_errors::BUSY, &wire_errors::INVALID}) {
        if (form->grpc_code == static_cast<int>(code)) {
            return std::string(form->kind);
        }
    }
    return "grpc code " + std::to_string(static_cast<int>(code));
}

// The calls these tests make, as a client of either protocol makes them. A vector made packed
// answers its resets and steps packed.
class Client {
  public:
    virtual ~Client() = default;
    // `form`: the HTTP body of a vector's making ("num_envs", "env_init", "batch_size", ...).
    virtual Outcome make_vector(const Json& form) = 0;
    virtual Outcome reset_vector(const std::string& id, const std::vector<std::uint64_t>& seeds,
                                 bool packed = false) = 0;
    virtual Outcome step_vector(const std::string& id, const Json& actions,
                                const std::vector<std::size_t>& env_ids = {},
                                bool packed = false) = 0;
    virtual Outcome close_vector(const std::string& id) = 0;
    virtual Outcome make_session() = 0;
    virtual Outcome step_session(const std::string& id, const Json& action) = 0;
    virtual Outcome close_session(const std::string& id) = 0;
};

class HttpClient final : public Client {
  public:
    explicit HttpClient(int port) : client_("127.0.0.1", port) {}

    Outcome make_vector(const Json& form) override { return call("POST", "/v1/vectors", form); }
    Outcome reset_vector(const std::string& id, const std::vector<std::uint64_t>& seeds,
                         bool packed) override {
        return call("POST", "/v1/vectors/" + id + "/reset", Json{{"seeds", seeds}}, packed);
    }
    Outcome step_vector(const std::string& id, const Json& actions,
                        const std::vector<std::size_t>& env_ids, bool packed) override {
        Json body{{"actions", actions}};
        if (!env_ids.empty()) {
            body["env_ids"] = env_ids;
        }
        return call("POST", "/v1/vectors/" + id + "/step", body, packed);
    }
    Outcome close_vector(const std::string& id) override {
        return call("DELETE", "/v1/vectors/" + id, {});
    }
    Outcome make_session() override { return call("POST", "/v1/sessions", Json::object()); }
    Outcome step_session(const std::string& id, const Json& action) override {
        return call("POST", "/v1/sessions/" + id + "/step", Json{{"action", action}});
    }
    Outcome close_session(const std::string& id) override {
        return call("DELETE", "/v1/sessions/" + id, {});
    }

  private:
    Outcome call(const std::string& method, const std::string& path, const Json& body,
                 bool packed = false) {
        httplib::Headers headers;
        if (packed) {
            headers.emplace("Accept", "application/x-protobuf");
        }
        auto answer = method == "DELETE"
                          ? client_.Delete(path, headers)
                          : client_.Post(path, headers, body.dump(), "application/json");
        Outcome outcome;
        if (!answer) {
            outcome.kind = "no answer";
            return outcome;
        }
        if (packed && answer->status == 200) {
            v1::JsonReply reply;
            EXPECT_TRUE(reply.ParseFromString(answer->body)) << path;
            outcome.packed = reply.packed();
            return outcome;
        }
        outcome.json = Json::parse(answer->body, nullptr, false);
        if (answer->status != 200) {
            outcome.kind = outcome.json.value("kind", "status " + std::to_string(answer->status));
            outcome.error = outcome.json.value("error", answer->body);
        }
        return outcome;
    }

    httplib::Client client_;
};

class GrpcClient final : public Client {
  public:
    explicit GrpcClient(int port)
        : stub_(v1::Simulator::NewStub(grpc::CreateChannel("127.0.0.1:" + std::to_string(port),
                                                           grpc::InsecureChannelCredentials()))) {}

    Outcome make_vector(const Json& form) override {
        v1::MakeVectorRequest request;
        request.set_num_envs(form.at("num_envs").get<std::uint32_t>());
        request.set_env_init_json(form.value("env_init", Json::object()).dump());
        request.set_batch_size(form.value("batch_size", 0U));
        request.set_packed(form.value("packed", false));
        request.set_autoreset(form.value("autoreset", true));
        v1::MakeVectorReply reply;
        grpc::ClientContext context;
        auto outcome = of(stub_->MakeVector(&context, request, &reply));
        outcome.json = Json{{"vector_id", reply.vector_id()}, {"session_ids", Json::array()}};
        for (const auto& id : reply.session_ids()) {
            outcome.json["session_ids"].push_back(id);
        }
        return outcome;
    }
    Outcome reset_vector(const std::string& id, const std::vector<std::uint64_t>& seeds,
                         bool) override {
        v1::ResetVectorRequest request;
        request.set_vector_id(id);
        for (auto seed : seeds) {
            request.add_seeds(seed);
        }
        v1::JsonReply reply;
        grpc::ClientContext context;
        return with_reply(of(stub_->ResetVector(&context, request, &reply)), reply);
    }
    Outcome step_vector(const std::string& id, const Json& actions,
                        const std::vector<std::size_t>& env_ids, bool) override {
        v1::StepVectorRequest request;
        request.set_vector_id(id);
        request.set_actions_json(actions.dump());
        for (auto env_id : env_ids) {
            request.add_env_ids(static_cast<std::uint32_t>(env_id));
        }
        grpc::ClientContext context;
        auto stream = stub_->StepVector(&context);
        stream->Write(request);
        stream->WritesDone();
        v1::JsonReply reply;
        bool answered = stream->Read(&reply);
        auto outcome = of(stream->Finish());
        EXPECT_TRUE(answered || !outcome.ok());
        return with_reply(std::move(outcome), reply);
    }
    Outcome close_vector(const std::string& id) override {
        v1::VectorRequest request;
        request.set_vector_id(id);
        v1::CloseReply reply;
        grpc::ClientContext context;
        return of(stub_->CloseVector(&context, request, &reply));
    }
    Outcome make_session() override {
        v1::MakeRequest request;
        v1::MakeReply reply;
        grpc::ClientContext context;
        auto outcome = of(stub_->Make(&context, request, &reply));
        outcome.json = Json{{"session_id", reply.session_id()}};
        return outcome;
    }
    Outcome step_session(const std::string& id, const Json& action) override {
        v1::JsonReply reply;
        grpc::ClientContext context;
        return with_reply(of(stub_->Step(&context, step_request(id, action), &reply)), reply);
    }
    Outcome close_session(const std::string& id) override {
        v1::SessionRequest request;
        request.set_session_id(id);
        v1::CloseReply reply;
        grpc::ClientContext context;
        return of(stub_->Close(&context, request, &reply));
    }

    static v1::StepRequest step_request(const std::string& id, const Json& action) {
        v1::StepRequest request;
        request.set_session_id(id);
        request.set_action_json(action.dump());
        return request;
    }
    v1::Simulator::Stub& stub() { return *stub_; }

  private:
    static Outcome of(const grpc::Status& status) {
        Outcome outcome;
        if (!status.ok()) {
            outcome.kind = kind_of_grpc(status.error_code());
            outcome.error = status.error_message();
        }
        return outcome;
    }
    static Outcome with_reply(Outcome outcome, const v1::JsonReply& reply) {
        if (outcome.ok() && reply.has_packed()) {
            outcome.packed = reply.packed();
        } else if (outcome.ok()) {
            outcome.json = Json::parse(reply.json());
        }
        return outcome;
    }

    std::unique_ptr<v1::Simulator::Stub> stub_;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The float32 values of a row of a packed tensor.
std::vector<float> row_of(const v1::Tensor& tensor, std::size_t row, std::size_t width) {
    EXPECT_EQ(tensor.dtype(), "float32");
    std::vector<float> values(width);
    std::memcpy(values.data(), tensor.data().data() + row * width * sizeof(float),
                width * sizeof(float));
    return values;
}

const v1::Tensor& observation_leaf(const v1::PackedReply& reply, const std::string& name) {
    for (const auto& tensor : reply.observations()) {
        if (tensor.name() == name) {
            return tensor;
        }
    }
    ADD_FAILURE() << "no tensor " << name;
    return reply.observations(0);
}

Json pushes(std::size_t count) {
    return Json(std::vector<Json>(count, Json::array({0.25, 0.0})));
}

class VectorSlotFaultsTest : public ::testing::TestWithParam<std::string> {
  protected:
    VectorSlotFaultsTest() { sandbox.set_env("TEST_SIM_LOG", log); }

    // The test simulator served on the protocol of the test, with its metrics on a port of
    // their own; `instances` environments a process.
    norva_test::ServedSim serve(std::size_t instances = 1) {
        auto folder = instances > 1 ? norva_test::write_batched_test_sim(sandbox.dir().path(),
                                                                         "good", instances)
                                    : norva_test::write_test_sim(sandbox.dir().path(), "good");
        metrics_port = norva_test::free_port();
        norva_test::ServedSim server(
            sandbox, folder.string(),
            {"--protocol", GetParam(), "--metrics-port", std::to_string(metrics_port)});
        if (GetParam() == "grpc") {
            client = std::make_unique<GrpcClient>(server.port());
        } else {
            client = std::make_unique<HttpClient>(server.port());
        }
        return server;
    }

    // Makes a vector and gives its id and its slots' session ids.
    std::pair<std::string, std::vector<std::string>> make_vector(const Json& form) {
        auto made = client->make_vector(form);
        EXPECT_TRUE(made.ok()) << made.error;
        return {made.json.at("vector_id").get<std::string>(),
                made.json.at("session_ids").get<std::vector<std::string>>()};
    }

    static void expect_refused(const Outcome& outcome, const std::string& part) {
        EXPECT_EQ(outcome.kind, "invalid") << outcome.error;
        EXPECT_NE(outcome.error.find(part), std::string::npos) << outcome.error;
    }

    norva_test::NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    int metrics_port = 0;
    std::unique_ptr<Client> client;
};

// A slot belongs to its vector: closing it alone is refused, and so is any call of its own while
// its step is out or its answer waits to be handed out. A client that pauses past the time limit
// between its calls loses nothing: the answers that came meanwhile are answers.
TEST_P(VectorSlotFaultsTest, ASlotIsTheVectorsAndAPauseBetweenCallsCostsNothing) {
    sandbox.set_env("NORVA_SIM_TIMEOUT", "1");
    auto server = serve();
    auto single = client->make_session();
    ASSERT_TRUE(single.ok()) << single.error;
    auto single_id = single.json.at("session_id").get<std::string>();
    // Environments 1 and 2 take 300 ms a step, environment 0 next to nothing.
    auto [vector_id, slots] =
        make_vector({{"num_envs", 3},
                     {"batch_size", 1},
                     {"env_init", {{"slow_seeds", {21, 22}}, {"slow_ms", 300}}}});
    ASSERT_TRUE(client->reset_vector(vector_id, {20, 21, 22}).ok());

    auto first = client->step_vector(vector_id, pushes(3));
    ASSERT_TRUE(first.ok()) << first.error;
    EXPECT_EQ(first.json.at("env_ids"), Json::array({0}));
    // Environment 1 steps in the vector: a slot is closed with its vector, and its answer comes
    // through the vector.
    expect_refused(client->close_session(slots[1]), vector_id);
    expect_refused(client->step_session(slots[1], Json::array({0.0, 0.0})), "vector");

    // The slow answers come while no call runs, and the next calls come past the time limit.
    std::this_thread::sleep_for(1500ms);
    auto second = client->step_vector(vector_id, pushes(1), {0});
    ASSERT_TRUE(second.ok()) << second.error;
    ASSERT_EQ(second.results().size(), 1u);
    EXPECT_FALSE(second.results()[0].contains("error")) << second.json;
    // Environment 2's answer came with the others' and waits for a later step: it is still the
    // vector's.
    expect_refused(client->step_session(slots[2], Json::array({0.0, 0.0})), "vector");
    expect_refused(client->close_session(slots[2]), vector_id);

    // Every environment's answer comes in its turn, none of them timed out.
    std::set<std::size_t> answered{second.json.at("env_ids")[0].get<std::size_t>()};
    auto last = second;
    for (int step = 0; step < 6 && answered.size() < 3; ++step) {
        auto ids = last.json.at("env_ids").get<std::vector<std::size_t>>();
        last = client->step_vector(vector_id, pushes(ids.size()), ids);
        ASSERT_TRUE(last.ok()) << last.error;
        for (std::size_t k = 0; k < last.results().size(); ++k) {
            EXPECT_FALSE(last.results()[k].contains("error")) << last.json;
            answered.insert(last.json.at("env_ids")[k].get<std::size_t>());
        }
    }
    EXPECT_EQ(answered.size(), 3u);

    // A reset after a pause takes what came meanwhile, and starts nothing anew.
    auto ids = last.json.at("env_ids").get<std::vector<std::size_t>>();
    ASSERT_TRUE(client->step_vector(vector_id, pushes(ids.size()), ids).ok());
    std::this_thread::sleep_for(1500ms);
    auto reset = client->reset_vector(vector_id, {20, 21, 22});
    ASSERT_TRUE(reset.ok()) << reset.error;
    for (const auto& result : reset.results()) {
        EXPECT_FALSE(result.contains("error")) << reset.json;
    }
    EXPECT_EQ(norva_test::metric(metrics_port, "norva_sim_answers_over_time_limit_total"), 0);
    EXPECT_EQ(norva_test::metric(metrics_port, "norva_sim_simulator_failures_total"), 0);
    EXPECT_EQ(norva_test::logged_pids(log).size(), 4u);

    // The other client's session never noticed.
    auto stepped = client->step_session(single_id, Json::array({0.5, 0.5}));
    ASSERT_TRUE(stepped.ok()) << stepped.error;
    EXPECT_EQ(stepped.json.at("observation").at("position"), Json::array({0.5, 0.5}));
    EXPECT_TRUE(client->close_vector(vector_id).ok());
    EXPECT_EQ(server.stop().status, 0);
}

// An environment that answers a step with an error ends its slot's episode: the slot is
// reported once, and with autoreset its environment alone is reset at its next step, as a
// crashed simulator's slot gets a new one; without autoreset, at the next reset. Over HTTP the
// vector answers JSON, over gRPC packed.
TEST_P(VectorSlotFaultsTest, AnEnvironmentsErrorEndsItsEpisodeAndItsNextStepStartsANewOne) {
    bool packed = GetParam() == "grpc";
    // Both environments in one process.
    auto server = serve(2);
    auto [vector_id, slots] =
        make_vector({{"num_envs", 2}, {"packed", packed}, {"env_init", {{"refuse_seed", 8}}}});
    ASSERT_TRUE(client->reset_vector(vector_id, {7, 8}, packed).ok());

    auto refused = client->step_vector(vector_id, pushes(2), {}, packed);
    ASSERT_TRUE(refused.ok()) << refused.error;
    auto renewed = client->step_vector(vector_id, pushes(2), {}, packed);
    ASSERT_TRUE(renewed.ok()) << renewed.error;
    auto after = client->step_vector(vector_id, pushes(2), {}, packed);
    ASSERT_TRUE(after.ok()) << after.error;
    if (packed) {
        ASSERT_EQ(refused.packed->failures_size(), 1);
        EXPECT_EQ(refused.packed->failures(0).slot(), 1u);
        EXPECT_EQ(refused.packed->failures(0).kind(), "answered");
        EXPECT_EQ(refused.packed->failures(0).error(), "step refused");
        EXPECT_EQ(renewed.packed->failures_size(), 0);
        EXPECT_EQ(renewed.packed->answered().data(), std::string(2, '\1'));
        const auto& position = observation_leaf(*renewed.packed, "position");
        // Seed 7 starts at (2, -3) and goes on; the refused one starts anew, unseeded, at 0.
        EXPECT_EQ(row_of(position, 0, 2), (std::vector<float>{2.5F, -3.0F}));
        EXPECT_EQ(row_of(position, 1, 2), (std::vector<float>{0.0F, 0.0F}));
        double reward = -1;
        std::memcpy(&reward, renewed.packed->rewards().data().data() + 8, 8);
        EXPECT_EQ(reward, 0.0);
        EXPECT_EQ(renewed.packed->terminated().data(), std::string(2, '\0'));
        EXPECT_EQ(renewed.packed->truncated().data(), std::string(2, '\0'));
        EXPECT_EQ(row_of(observation_leaf(*after.packed, "position"), 1, 2),
                  (std::vector<float>{0.25F, 0.0F}));
        EXPECT_EQ(after.packed->failures_size(), 0);
    } else {
        EXPECT_EQ(refused.results()[1], (Json{{"error", "step refused"}, {"kind", "answered"}}));
        EXPECT_EQ(renewed.results()[0].at("observation").at("position"), Json::array({2.5, -3.0}));
        EXPECT_EQ(renewed.results()[1].at("observation").at("position"), Json::array({0.0, 0.0}));
        EXPECT_EQ(renewed.results()[1].at("reward"), 0);
        EXPECT_EQ(renewed.results()[1].at("terminated"), false);
        EXPECT_EQ(renewed.results()[1].at("truncated"), false);
        EXPECT_EQ(after.results()[1].at("observation").at("position"), Json::array({0.25, 0.0}));
    }
    EXPECT_EQ(norva_test::metric(metrics_port, "norva_sim_steps_refused_total"), 1);
    // The process held on: nothing was started anew.
    EXPECT_EQ(norva_test::logged_pids(log).size(), 1u);

    // Without autoreset the refused environment keeps its episode until the client resets it.
    auto [kept_id, kept_slots] =
        make_vector({{"num_envs", 2}, {"autoreset", false}, {"env_init", {{"refuse_seed", 8}}}});
    ASSERT_TRUE(client->reset_vector(kept_id, {7, 8}).ok());
    for (int step = 0; step < 2; ++step) {
        auto kept = client->step_vector(kept_id, pushes(2));
        ASSERT_TRUE(kept.ok()) << kept.error;
        EXPECT_EQ(kept.results()[1].value("kind", ""), "answered") << kept.json;
    }
    ASSERT_TRUE(client->reset_vector(kept_id, {7, 9}).ok());
    auto kept = client->step_vector(kept_id, pushes(2));
    ASSERT_TRUE(kept.ok()) << kept.error;
    EXPECT_FALSE(kept.results()[1].contains("error")) << kept.json;

    // Each refusing slot is logged once, with the environment's own words.
    EXPECT_EQ(norva_test::metric(metrics_port, "norva_sim_steps_refused_total"), 3);
    auto ended = server.stop();
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(occurrences(ended.err, "answered a step with an error: step refused"), 2u)
        << ended.err;

    // With a batch size (a simulator of one environment a process), the same.
    auto single_server = serve();
    auto [batched_id, batched_slots] =
        make_vector({{"num_envs", 2}, {"batch_size", 2}, {"env_init", {{"refuse_seed", 8}}}});
    ASSERT_TRUE(client->reset_vector(batched_id, {7, 8}).ok());
    auto batch_refused = client->step_vector(batched_id, pushes(2));
    ASSERT_TRUE(batch_refused.ok()) << batch_refused.error;
    auto refused_row = batch_refused.json.at("env_ids")[0] == 1 ? 0 : 1;
    EXPECT_EQ(batch_refused.results()[refused_row].value("kind", ""), "answered")
        << batch_refused.json;
    auto batch_renewed = client->step_vector(batched_id, pushes(2), {0, 1});
    ASSERT_TRUE(batch_renewed.ok()) << batch_renewed.error;
    for (std::size_t k = 0; k < 2; ++k) {
        if (batch_renewed.json.at("env_ids")[k] == 1) {
            EXPECT_EQ(batch_renewed.results()[k].at("observation").at("position"),
                      Json::array({0.0, 0.0}))
                << batch_renewed.json;
        }
    }

    EXPECT_EQ(norva_test::metric(metrics_port, "norva_sim_steps_refused_total"), 1);
    EXPECT_EQ(single_server.stop().status, 0);
}

// A number an observation's dtype cannot hold fails its slot on the packed paths rather than
// reaching the client as another number; the other slots answer.
TEST_P(VectorSlotFaultsTest, ANumberItsDtypeCannotHoldFailsItsSlot) {
    auto server = serve();
    auto [vector_id, slots] =
        make_vector({{"num_envs", 2}, {"packed", true}, {"env_init", {{"huge_seed", 41}}}});
    ASSERT_TRUE(client->reset_vector(vector_id, {40, 41}, true).ok());
    auto stepped = client->step_vector(vector_id, pushes(2), {}, true);
    ASSERT_TRUE(stepped.ok()) << stepped.error;
    ASSERT_TRUE(stepped.packed);
    ASSERT_EQ(stepped.packed->failures_size(), 1);
    const auto& failure = stepped.packed->failures(0);
    EXPECT_EQ(failure.slot(), 1u);
    EXPECT_EQ(failure.kind(), "failed");
    EXPECT_NE(failure.error().find("position: 1e+300 is beyond what float32 holds"),
              std::string::npos)
        << failure.error();
    EXPECT_EQ(stepped.packed->answered().data(), std::string("\1\0", 2));
    EXPECT_EQ(row_of(observation_leaf(*stepped.packed, "position"), 0, 2),
              (std::vector<float>{2.25F, 2.0F}));
    EXPECT_EQ(server.stop().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, VectorSlotFaultsTest, ::testing::Values("grpc", "http"));

// A stream that owns what it steps, and stepped a slot of a vector, breaks: the slot stays its
// vector's, which steps on.
TEST(VectorSlotOwnership, AStreamThatSteppedASlotBreaksAndTheVectorStepsOn) {
    norva_test::NorvaSandbox sandbox;
    norva_test::ServedSim server(sandbox,
                                 norva_test::write_test_sim(sandbox.dir().path(), "good").string(),
                                 {"--protocol", "grpc"});
    GrpcClient grpc_client(server.port());
    Client& client = grpc_client;
    auto made = client.make_vector({{"num_envs", 2},
                                    {"batch_size", 1},
                                    {"env_init", {{"slow_seeds", {31}}, {"slow_ms", 300}}}});
    ASSERT_TRUE(made.ok()) << made.error;
    auto vector_id = made.json.at("vector_id").get<std::string>();
    auto slot = made.json.at("session_ids")[1].get<std::string>();
    ASSERT_TRUE(client.reset_vector(vector_id, {30, 31}).ok());
    {
        grpc::ClientContext context;
        context.AddMetadata("norva-owner", "stream");
        auto stream = grpc_client.stub().StepStream(&context);
        ASSERT_TRUE(stream->Write(GrpcClient::step_request(slot, Json::array({0.0, 0.0}))));
        v1::JsonReply reply;
        ASSERT_TRUE(stream->Read(&reply));
        // Environment 1's next step is the vector's, and still out when the stream breaks.
        auto first = client.step_vector(vector_id, pushes(2));
        ASSERT_TRUE(first.ok()) << first.error;
        EXPECT_EQ(first.json.at("env_ids"), Json::array({0}));
        context.TryCancel();
        stream->Finish();
    }
    // Time for the server to see the stream break.
    std::this_thread::sleep_for(300ms);
    bool slot_answered = false;
    std::vector<std::size_t> ids{0};
    for (int step = 0; step < 20 && !slot_answered; ++step) {
        auto stepped = client.step_vector(vector_id, pushes(1), ids);
        ASSERT_TRUE(stepped.ok()) << stepped.error;
        EXPECT_FALSE(stepped.results()[0].contains("error")) << stepped.json;
        ids = stepped.json.at("env_ids").get<std::vector<std::size_t>>();
        slot_answered = ids[0] == 1;
    }
    EXPECT_TRUE(slot_answered);
    EXPECT_TRUE(client.close_vector(vector_id).ok());
    EXPECT_EQ(server.stop().status, 0);
}

}  // namespace
