#include <grpcpp/grpcpp.h>

#include <climits>

#include "norva_core/interrupt.h"
#include "sim.grpc.pb.h"
#include "sim/message_limit.h"
#include "sim/transport/grpc_logging.h"
#include "sim/transport/remote_simulator.h"
#include "sim/transport/wire_errors.h"
#include "sim/wire_json.h"
#include "sim/worker_process.h"

namespace norva_core::sim {
namespace {

namespace v1 = norva::sim::v1;

class GrpcSimulator final : public Simulator {
  public:
    GrpcSimulator(const Address& address, GrpcSteps steps)
        // The server holds every call to the simulator's own time limit; this one only guards
        // against a server that went silent.
        : address_(address.text()),
          steps_(steps),
          call_limit_(answer_timeout_setting() + std::chrono::seconds(5)),
          max_message_(max_message_setting()) {
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
    ~GrpcSimulator() override {
        if (!session_.empty()) {
            try {
                close();
            } catch (...) {
                // The server ends a session it cannot reach the client of.
            }
        }
    }

    void make(const std::string& env_id, const Json& env_init) override {
        v1::MakeRequest request;
        request.set_env_id(env_id);
        request.set_env_init_json(wire_json::dump(env_init));
        v1::MakeReply reply;
        grpc::ClientContext context;
        limit(context);
        check(stub_->Make(&context, request, &reply), "make");
        session_ = reply.session_id();
    }

    Json sensor_space() override {
        return session_call(&v1::Simulator::Stub::SensorSpace, "sensor_space");
    }
    Json action_space() override {
        return session_call(&v1::Simulator::Stub::ActionSpace, "action_space");
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
        grpc::ClientContext context;
        limit(context);
        check(stub_->Reset(&context, request, &reply), "reset");
        return parsed(reply, "reset");
    }

    Json step(const Json& action) override {
        if (steps_ == GrpcSteps::streamed) {
            return streamed_step(action);
        }
        v1::StepRequest request;
        request.set_session_id(session());
        request.set_action_json(wire_json::dump(action));
        v1::JsonReply reply;
        grpc::ClientContext context;
        limit(context);
        check(stub_->Step(&context, request, &reply), "step");
        return parsed(reply, "step");
    }

    void close() override {
        end_stream();
        if (session_.empty()) {
            return;
        }
        v1::SessionRequest request;
        request.set_session_id(std::exchange(session_, {}));
        v1::CloseReply reply;
        grpc::ClientContext context;
        limit(context);
        check(stub_->Close(&context, request, &reply), "close");
    }

  private:
    struct StepStream {
        grpc::ClientContext context;
        std::unique_ptr<grpc::ClientReaderWriter<v1::StepRequest, v1::JsonReply>> calls;
    };

    Json streamed_step(const Json& action) {
        if (!stream_) {
            stream_ = std::make_unique<StepStream>();
            interrupt::BlockedInThreads blocked;
            stream_->calls = stub_->StepStream(&stream_->context);
        }
        step_request_.set_session_id(session());
        step_request_.set_action_json(wire_json::dump(action));
        if (!stream_->calls->Write(step_request_) || !stream_->calls->Read(&step_reply_)) {
            check(end_stream(), "step");
            throw SimulatorError(SimulatorError::Kind::failed, "the step stream ended early");
        }
        return parsed(step_reply_, "step");
    }

    // Ends the step stream, if one is open, and gives its final status.
    grpc::Status end_stream() {
        if (!stream_) {
            return grpc::Status::OK;
        }
        auto stream = std::move(stream_);
        stream->calls->WritesDone();
        return stream->calls->Finish();
    }

    using SessionMethod = grpc::Status (v1::Simulator::Stub::*)(grpc::ClientContext*,
                                                                const v1::SessionRequest&,
                                                                v1::JsonReply*);

    const std::string& session() const {
        if (session_.empty()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "no session: it was closed or never made");
        }
        return session_;
    }

    Json session_call(SessionMethod method, const char* op) {
        v1::SessionRequest request;
        request.set_session_id(session());
        v1::JsonReply reply;
        grpc::ClientContext context;
        limit(context);
        check(((*stub_).*method)(&context, request, &reply), op);
        return parsed(reply, op);
    }

    void limit(grpc::ClientContext& context) const {
        context.set_deadline(std::chrono::system_clock::now() + call_limit_);
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

    std::string address_;
    GrpcSteps steps_;
    std::chrono::milliseconds call_limit_;
    std::size_t max_message_;
    std::unique_ptr<v1::Simulator::Stub> stub_;
    std::string session_;
    // Declared after the stub, so that it ends first.
    std::unique_ptr<StepStream> stream_;
    // Kept between steps so that their buffers are reused.
    v1::StepRequest step_request_;
    v1::JsonReply step_reply_;
};

}  // namespace

std::unique_ptr<Simulator> connect_grpc(const Address& address, GrpcSteps steps) {
    return std::make_unique<GrpcSimulator>(address, steps);
}

}  // namespace norva_core::sim
