#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <climits>
#include <optional>

#include "norva_core/interrupt.h"
#include "norva_core/settings.h"
#include "sim.grpc.pb.h"
#include "sim/common/access_token.h"
#include "sim/common/grpc_logging.h"
#include "sim/common/message_limit.h"
#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"
#include "sim/remote/packed_replies.h"
#include "sim/remote/remote_simulator.h"

namespace norva_core::sim {
namespace {

namespace v1 = norva::sim::v1;

// A channel to a served simulator and what every call on it shares: its time limit, and how a
// failed status becomes a SimulatorError.
class GrpcChannel {
  public:
    explicit GrpcChannel(const Address& address)
        // The server holds every call to the simulator's own time limit; this one only guards
        // against a server that went silent.
        : address_(address.text()),
          call_limit_(settings::seconds_limit(settings::Key::sim_timeout) +
                      std::chrono::seconds(5)),
          max_message_(max_message_setting()),
          token_(access_token::of_clients()) {
        route_grpc_logs();
        interrupt::BlockedInThreads blocked;
        // A sim that is still starting is tried again soon, not after gRPC's growing back-off
        // (up to two minutes), which would outlast the wait for a just-started container.
        grpc::ChannelArguments arguments;
        arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
        arguments.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 100);
        arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 500);
        int limit = static_cast<int>(std::min<std::size_t>(max_message_, INT_MAX));
        arguments.SetMaxReceiveMessageSize(limit);
        arguments.SetMaxSendMessageSize(limit);
        stub_ = v1::Simulator::NewStub(
            grpc::CreateCustomChannel(address_, grpc::InsecureChannelCredentials(), arguments));
    }

    v1::Simulator::Stub& stub() { return *stub_; }

    void limit(grpc::ClientContext& context) const {
        context.set_deadline(std::chrono::system_clock::now() + call_limit_);
        authorize(context);
    }

    // Every call carries the token, when the user gave one.
    void authorize(grpc::ClientContext& context) const {
        if (token_) {
            context.AddMetadata("authorization", access_token::authorization(*token_));
        }
    }

    void check(const grpc::Status& status, const char* op) const {
        if (status.ok()) {
            return;
        }
        const std::string& message = status.error_message();
        auto kind = wire_errors::kind_of_grpc(status.error_code());
        switch (kind) {
            case SimulatorError::Kind::answered:
                throw SimulatorError(kind, message);
            case SimulatorError::Kind::timed_out:
                throw SimulatorError(kind,
                                     std::string("no answer to '") + op + "' in time: " + message);
            case SimulatorError::Kind::unreachable:
                throw SimulatorError(
                    kind, "Cannot reach a simulator over gRPC at " + address_ + ": " + message);
            case SimulatorError::Kind::failed:
                break;
        }
        if (status.error_code() == wire_errors::GRPC_RESOURCE_EXHAUSTED) {
            throw SimulatorError(kind, std::string("a message of '") + op +
                                           "' is too large for the client or the server (here " +
                                           message_limit_text(max_message_) + "): " + message);
        }
        throw SimulatorError(kind, message);
    }

    static Json parsed(const v1::JsonReply& reply, const char* op) {
        try {
            return wire_json::parse(reply.json());
        } catch (const json_input::InputError& error) {
            throw SimulatorError(
                SimulatorError::Kind::failed,
                std::string("the server's answer to '") + op + "' is " + error.what());
        }
    }

    // One call with its time limit; a failed status is thrown.
    template <class Request, class Reply>
    void unary(grpc::Status (v1::Simulator::Stub::*method)(grpc::ClientContext*, const Request&,
                                                           Reply*),
               const Request& request, Reply& reply, const char* op) {
        grpc::ClientContext context;
        limit(context);
        check(((*stub_).*method)(&context, request, &reply), op);
    }

    // A call that answers JSON about one session.
    using SessionMethod = grpc::Status (v1::Simulator::Stub::*)(grpc::ClientContext*,
                                                                const v1::SessionRequest&,
                                                                v1::JsonReply*);
    Json session_call(SessionMethod method, const std::string& session, const char* op) {
        v1::SessionRequest request;
        request.set_session_id(session);
        v1::JsonReply reply;
        unary(method, request, reply, op);
        return parsed(reply, op);
    }

  private:
    std::string address_;
    std::chrono::milliseconds call_limit_;
    std::size_t max_message_;
    std::optional<std::string> token_;
    std::unique_ptr<v1::Simulator::Stub> stub_;
};

// A bidirectional stream of requests, each answered by one JSON reply, that saves the per-call
// cost of many calls in a row.
template <class Request>
class JsonStream {
  public:
    using Opener = std::unique_ptr<grpc::ClientReaderWriter<Request, v1::JsonReply>> (
        v1::Simulator::Stub::*)(grpc::ClientContext*);

    // The reply to the request; throws the stream's status when it ended.
    const v1::JsonReply& exchange(GrpcChannel& channel, Opener open, const Request& request,
                                  const char* op) {
        if (!calls_) {
            context_ = std::make_unique<grpc::ClientContext>();
            channel.authorize(*context_);
            interrupt::BlockedInThreads blocked;
            calls_ = (channel.stub().*open)(context_.get());
        }
        if (!calls_->Write(request) || !calls_->Read(&reply_)) {
            channel.check(end(), op);
            throw SimulatorError(SimulatorError::Kind::failed,
                                 std::string("the stream of '") + op + "' ended early");
        }
        return reply_;
    }

    // Ends the stream, if one is open, and gives its final status.
    grpc::Status end() {
        if (!calls_) {
            return grpc::Status::OK;
        }
        auto calls = std::move(calls_);
        calls->WritesDone();
        auto status = calls->Finish();
        context_.reset();
        return status;
    }

  private:
    std::unique_ptr<grpc::ClientContext> context_;
    std::unique_ptr<grpc::ClientReaderWriter<Request, v1::JsonReply>> calls_;
    // Kept between requests so that its buffers are reused.
    v1::JsonReply reply_;
};

class GrpcSimulator final : public Simulator {
  public:
    GrpcSimulator(const Address& address, GrpcSteps steps) : channel_(address), steps_(steps) {}
    ~GrpcSimulator() override { close_if_held(session_, *this); }

    void make(const std::string& env_id, const Json& env_init) override {
        v1::MakeRequest request;
        request.set_env_id(env_id);
        request.set_env_init_json(wire_json::dump(env_init));
        v1::MakeReply reply;
        channel_.unary(&v1::Simulator::Stub::Make, request, reply, "make");
        session_ = reply.session_id();
    }

    Json sensor_space() override {
        return channel_.session_call(&v1::Simulator::Stub::SensorSpace, session(), "sensor_space");
    }
    Json action_space() override {
        return channel_.session_call(&v1::Simulator::Stub::ActionSpace, session(), "action_space");
    }
    Json reset_with(const ResetOptions& options) override {
        v1::ResetRequest request;
        request.set_session_id(session());
        if (options.seed) {
            request.set_seed(*options.seed);
        }
        if (options.options) {
            request.set_options_json(wire_json::dump(*options.options));
        }
        v1::JsonReply reply;
        channel_.unary(&v1::Simulator::Stub::Reset, request, reply, "reset");
        return GrpcChannel::parsed(reply, "reset");
    }

    Json step(const Json& action) override {
        if (steps_ == GrpcSteps::streamed) {
            return streamed_step(action);
        }
        v1::StepRequest request;
        request.set_session_id(session());
        request.set_action_json(wire_json::dump(action));
        v1::JsonReply reply;
        channel_.unary(&v1::Simulator::Stub::Step, request, reply, "step");
        return GrpcChannel::parsed(reply, "step");
    }

    void close() override {
        stream_.end();
        if (session_.empty()) {
            return;
        }
        v1::SessionRequest request;
        request.set_session_id(std::exchange(session_, {}));
        v1::CloseReply reply;
        channel_.unary(&v1::Simulator::Stub::Close, request, reply, "close");
    }

  private:
    Json streamed_step(const Json& action) {
        step_request_.set_session_id(session());
        step_request_.set_action_json(wire_json::dump(action));
        return GrpcChannel::parsed(
            stream_.exchange(channel_, &v1::Simulator::Stub::StepStream, step_request_, "step"),
            "step");
    }

    const std::string& session() const {
        if (session_.empty()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "no session: it was closed or never made");
        }
        return session_;
    }

    GrpcChannel channel_;
    GrpcSteps steps_;
    std::string session_;
    // Declared after the channel, so that it ends first.
    JsonStream<v1::StepRequest> stream_;
    // Kept between steps so that its buffers are reused.
    v1::StepRequest step_request_;
};

// A vector served packed when the server packs: its answers come as arrays, and its actions go
// as one tensor when the action space is one leaf.
class GrpcVector final : public SimulatorVector {
  public:
    GrpcVector(const Address& address, std::size_t count) : channel_(address), count_(count) {}
    ~GrpcVector() override { close_if_held(vector_, *this); }

    std::size_t size() const override { return count_; }

    void make(const std::string& env_id, const Json& env_init) override {
        v1::MakeVectorRequest request;
        request.set_env_id(env_id);
        request.set_env_init_json(wire_json::dump(env_init));
        request.set_num_envs(static_cast<std::uint32_t>(count_));
        request.set_packed(true);
        v1::MakeVectorReply reply;
        try {
            channel_.unary(&v1::Simulator::Stub::MakeVector, request, reply, "make");
        } catch (const SimulatorError& error) {
            if (!refused_packing(error)) {
                throw;
            }
            request.set_packed(false);
            channel_.unary(&v1::Simulator::Stub::MakeVector, request, reply, "make");
        }
        if (reply.session_ids_size() == 0) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "the server's answer to 'make' has no sessions");
        }
        vector_ = reply.vector_id();
        first_session_ = reply.session_ids(0);
        if (request.packed()) {
            packed_.emplace(sensor_space(), action_space(), count_);
        }
    }

    Json sensor_space() override {
        return channel_.session_call(&v1::Simulator::Stub::SensorSpace, first_session_,
                                     "sensor_space");
    }
    Json action_space() override {
        return channel_.session_call(&v1::Simulator::Stub::ActionSpace, first_session_,
                                     "action_space");
    }

    std::vector<SlotAnswer> reset(const VectorReset& reset) override {
        v1::ResetVectorRequest request;
        request.set_vector_id(vector_);
        if (reset.seed) {
            request.set_seed(*reset.seed);
        }
        if (reset.seeds) {
            for (auto seed : *reset.seeds) {
                request.add_seeds(seed);
            }
        }
        if (reset.options) {
            request.set_options_json(wire_json::dump(*reset.options));
        }
        v1::JsonReply reply;
        channel_.unary(&v1::Simulator::Stub::ResetVector, request, reply, "reset");
        return answers_of(reply, "reset");
    }

    std::vector<SlotAnswer> step(std::span<const Json> actions) override {
        step_request_.set_vector_id(vector_);
        if (packed_ && packed_->put_actions(actions, *step_request_.mutable_actions())) {
            step_request_.clear_actions_json();
        } else {
            step_request_.clear_actions();
            step_request_.set_actions_json(
                wire_json::dump(Json(Json::array_t(actions.begin(), actions.end()))));
        }
        return answers_of(
            stream_.exchange(channel_, &v1::Simulator::Stub::StepVector, step_request_, "step"),
            "step");
    }

    void close() override {
        stream_.end();
        if (vector_.empty()) {
            return;
        }
        v1::VectorRequest request;
        request.set_vector_id(std::exchange(vector_, {}));
        v1::CloseReply reply;
        channel_.unary(&v1::Simulator::Stub::CloseVector, request, reply, "close");
    }

  private:
    std::vector<SlotAnswer> answers_of(const v1::JsonReply& reply, const char* op) const {
        if (reply.has_packed() && packed_) {
            return packed_->answers_of(reply.packed(), op);
        }
        return wire_errors::slot_answers_of(GrpcChannel::parsed(reply, op), count_);
    }

    GrpcChannel channel_;
    std::size_t count_;
    std::string vector_;
    std::string first_session_;
    // Once it is made packed.
    std::optional<PackedReplies> packed_;
    // Declared after the channel, so that it ends first.
    JsonStream<v1::StepVectorRequest> stream_;
    v1::StepVectorRequest step_request_;
};

}  // namespace

std::unique_ptr<Simulator> connect_grpc(const Address& address, GrpcSteps steps) {
    return std::make_unique<GrpcSimulator>(address, steps);
}

std::unique_ptr<SimulatorVector> connect_grpc_vector(const Address& address, std::size_t count) {
    return std::make_unique<GrpcVector>(address, count);
}

}  // namespace norva_core::sim
