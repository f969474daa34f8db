#include <grpcpp/grpcpp.h>
#include <grpcpp/support/server_interceptor.h>

#include <climits>
#include <functional>
#include <mutex>
#include <set>

#include "norva_core/text_forms.h"
#include "sim.grpc.pb.h"
#include "sim/common/address.h"
#include "sim/common/grpc_logging.h"
#include "sim/common/message_limit.h"
#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"
#include "sim/serve/grpc_health.h"
#include "sim/serve/listener.h"
#include "sim/serve/owned_sessions.h"
#include "sim/serve/vector_messages.h"

namespace norva_core::sim {
namespace {

namespace v1 = norva::sim::v1;

// Runs one call and turns every failure into a status the client can tell apart.
template <class Body>
grpc::Status guarded(Body&& body) {
    if (auto failure = wire_errors::failure_of(std::forward<Body>(body))) {
        // A status travels in the answer's headers, which clients hold to a few kilobytes: a
        // long one would fail the client's whole connection, every stream on it included.
        return {static_cast<grpc::StatusCode>(failure->form.grpc_code),
                text_forms::excerpt(failure->message)};
    }
    return grpc::Status::OK;
}

constexpr const char* UNREADABLE =
    "the request could not be read: it is not a valid message of the norva.sim.v1 protocol "
    "(malformed, cut short, or text that is not UTF-8)";

// A stream's requests as the client sent them: gRPC's own reading takes one it cannot decode
// for the end of the stream, which would end it as if all were well.
using RawStream = grpc::ServerReaderWriter<v1::JsonReply, grpc::ByteBuffer>;

// The stream's next request; false at its end. Throws InvalidRequest for one that cannot be read.
template <class Request>
bool read_request(RawStream& stream, Request& request) {
    grpc::ByteBuffer bytes;
    if (!stream.Read(&bytes)) {
        return false;
    }
    if (!grpc::SerializationTraits<Request>::Deserialize(&bytes, &request).ok()) {
        throw InvalidRequest(UNREADABLE);
    }
    return true;
}

// The place of one of the service's calls, where the generated service keeps its handler.
int method_index(const std::string& name) {
    return v1::StepRequest::descriptor()
        ->file()
        ->FindServiceByName("Simulator")
        ->FindMethodByName(name)
        ->index();
}

// gRPC answers a request it cannot decode with INTERNAL and no message, as if the server had
// failed; our own calls always say what went wrong, so that status can only mean the request.
class UndecodableRequests final : public grpc::experimental::Interceptor {
  public:
    void Intercept(grpc::experimental::InterceptorBatchMethods* methods) override {
        using grpc::experimental::InterceptionHookPoints;
        if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_STATUS)) {
            auto status = methods->GetSendStatus();
            if (status.error_code() == grpc::StatusCode::INTERNAL &&
                status.error_message().empty()) {
                methods->ModifySendStatus({grpc::StatusCode::INVALID_ARGUMENT, UNREADABLE});
            }
        }
        methods->Proceed();
    }
};

class UndecodableRequestsFactory final
    : public grpc::experimental::ServerInterceptorFactoryInterface {
  public:
    grpc::experimental::Interceptor* CreateServerInterceptor(
        grpc::experimental::ServerRpcInfo*) override {
        // gRPC takes ownership of the interceptor.
        return std::make_unique<UndecodableRequests>().release();
    }
};

class Service final : public v1::Simulator::Service {
  public:
    explicit Service(SessionRegistry& sessions) : sessions_(sessions) {
        serve_as_sent("StepStream", &Service::step_stream);
        serve_as_sent("StepVector", &Service::step_vector);
    }

    grpc::Status Make(grpc::ServerContext* context, const v1::MakeRequest* request,
                      v1::MakeReply* reply) override {
        return served(*context, [&] {
            reply->set_session_id(
                sessions_.open(request->env_id(), env_init_of(request->env_init_json())));
        });
    }

    grpc::Status SensorSpace(grpc::ServerContext* context, const v1::SessionRequest* request,
                             v1::JsonReply* reply) override {
        return reply_json(*context, request->session_id(), reply,
                          [](Simulator& simulator) { return simulator.sensor_space(); });
    }

    grpc::Status ActionSpace(grpc::ServerContext* context, const v1::SessionRequest* request,
                             v1::JsonReply* reply) override {
        return reply_json(*context, request->session_id(), reply,
                          [](Simulator& simulator) { return simulator.action_space(); });
    }

    grpc::Status Reset(grpc::ServerContext* context, const v1::ResetRequest* request,
                       v1::JsonReply* reply) override {
        ResetOptions options;
        if (auto refused = served(*context,
                                  [&] {
                                      options = reset_options_of(
                                          request->has_seed() ? Json(request->seed()) : Json(),
                                          options_of(request->options_json()));
                                  });
            !refused.ok()) {
            return refused;
        }
        return reply_json(*context, request->session_id(), reply,
                          [&](Simulator& simulator) { return simulator.reset_with(options); });
    }

    grpc::Status Step(grpc::ServerContext* context, const v1::StepRequest* request,
                      v1::JsonReply* reply) override {
        return served(*context, [&] { step(*request, *reply); });
    }

    grpc::Status step_stream(grpc::ServerContext* context, RawStream* stream) {
        OpenStream open(*this, context);
        return served(*context, [&] {
            v1::StepRequest request;
            v1::JsonReply reply;
            while (read_request(*stream, request)) {
                step(request, reply);
                open.own_session(request.session_id());
                if (!stream->Write(reply)) {
                    return;
                }
            }
        });
    }

    grpc::Status Close(grpc::ServerContext* context, const v1::SessionRequest* request,
                       v1::CloseReply*) override {
        return served(*context, [&] { sessions_.close(request->session_id()); });
    }

    grpc::Status MakeVector(grpc::ServerContext* context, const v1::MakeVectorRequest* request,
                            v1::MakeVectorReply* reply) override {
        return served(*context, [&] {
            auto made = sessions_.open_vector(
                request->env_id(), env_init_of(request->env_init_json()),
                vector_size_of(Json(request->num_envs())),
                {.autoreset = !request->has_autoreset() || request->autoreset(),
                 .packed = request->packed(),
                 .batch_size = request->batch_size()});
            reply->set_vector_id(made.id);
            for (const auto& id : made.session_ids) {
                reply->add_session_ids(id);
            }
        });
    }

    grpc::Status ResetVector(grpc::ServerContext* context, const v1::ResetVectorRequest* request,
                             v1::JsonReply* reply) override {
        return served(*context, [&] {
            Json seeds = Json::array();
            for (auto seed : request->seeds()) {
                seeds.push_back(seed);
            }
            auto reset = vector_reset_of(request->has_seed() ? Json(request->seed()) : Json(),
                                         seeds.empty() ? Json() : seeds,
                                         options_of(request->options_json()));
            auto form = sessions_.packed_form(request->vector_id());
            auto answers = sessions_.reset_vector(request->vector_id(), reset);
            vector_messages::answer(form.get(), answers, false, *reply);
        });
    }

    grpc::Status step_vector(grpc::ServerContext* context, RawStream* stream) {
        OpenStream open(*this, context);
        return served(*context, [&] {
            v1::StepVectorRequest request;
            v1::JsonReply reply;
            // A stream steps one vector over and over: its form is looked up when the id changes.
            std::string formed;
            std::shared_ptr<const PackedForm> form;
            while (read_request(*stream, request)) {
                if (request.vector_id() != formed || formed.empty()) {
                    form = sessions_.packed_form(request.vector_id());
                    formed = request.vector_id();
                }
                auto env_ids = env_ids_of(request.env_ids());
                std::vector<Json> actions;
                if (request.has_actions() && request.actions_json().empty()) {
                    actions = actions_of(form.get(), vector_messages::tensor_of(request.actions()),
                                         action_rows(form.get(), env_ids));
                } else {
                    Json listed = request_json(request.actions_json(), "'actions_json'");
                    if (!listed.is_array()) {
                        throw InvalidRequest(
                            "'actions_json' must be a list with one action per simulator");
                    }
                    actions = std::move(listed.get_ref<Json::array_t&>());
                }
                auto stepped = sessions_.step_vector(request.vector_id(), actions, env_ids);
                vector_messages::answer(form.get(), stepped.answers, true, reply, stepped.env_ids);
                open.own_vector(request.vector_id());
                if (!stream->Write(reply)) {
                    return;
                }
            }
        });
    }

    grpc::Status CloseVector(grpc::ServerContext* context, const v1::VectorRequest* request,
                             v1::CloseReply*) override {
        return served(*context, [&] { sessions_.close_vector(request->vector_id()); });
    }

    // A stream waits for its client's next step; stopping must not wait for that.
    void cancel_streams() {
        std::lock_guard lock(streams_mutex_);
        for (auto* context : streams_) {
            context->TryCancel();
        }
    }

  private:
    // The stream call's handler reads what the client sent itself, so that it can tell a
    // request it cannot read from the stream's end.
    void serve_as_sent(const std::string& method,
                       grpc::Status (Service::*serve)(grpc::ServerContext*, RawStream*)) {
        using Handler =
            grpc::internal::BidiStreamingHandler<Service, grpc::ByteBuffer, v1::JsonReply>;
        // The service takes ownership of the handler.
        MarkMethodStreamed(method_index(method),
                           std::make_unique<Handler>(std::mem_fn(serve), this).release());
    }

    // Runs one call, refused unless it carries the server's token where the server requires one.
    template <class Body>
    grpc::Status served(const grpc::ServerContext& context, Body&& body) {
        return guarded([&] {
            authorize(context);
            body();
        });
    }

    void authorize(const grpc::ServerContext& context) const {
        const auto& token = sessions_.token();
        if (!token) {
            return;
        }
        std::vector<std::string_view> sent;
        auto [first, last] = context.client_metadata().equal_range("authorization");
        for (auto entry = first; entry != last; ++entry) {
            sent.emplace_back(entry->second.data(), entry->second.size());
        }
        access_token::require(*token, sent);
    }

    // A stream of steps while it is open. With the metadata "norva-owner: stream" it owns
    // what it steps: a stream that breaks (its client cancelled, or vanished with its
    // connection) closes them.
    class OpenStream {
      public:
        OpenStream(Service& service, grpc::ServerContext* context)
            : service_(service), context_(context) {
            auto [first, last] = context->client_metadata().equal_range("norva-owner");
            owner_ = first != last && first->second == "stream";
            std::lock_guard lock(service_.streams_mutex_);
            service_.streams_.insert(context_);
        }
        ~OpenStream() {
            {
                std::lock_guard lock(service_.streams_mutex_);
                service_.streams_.erase(context_);
            }
            if (context_->IsCancelled()) {
                owned_.close_all(service_.sessions_);
            }
        }
        OpenStream(const OpenStream&) = delete;
        OpenStream& operator=(const OpenStream&) = delete;

        // What it stepped well; a failed step ends the stream. A stream steps one id over and
        // over, so only a new one costs a look into the set.
        void own_session(const std::string& id) {
            if (owner_ && id != last_owned_) {
                owned_.add_session(id);
                last_owned_ = id;
            }
        }
        void own_vector(const std::string& id) {
            if (owner_ && id != last_owned_) {
                owned_.add_vector(id);
                last_owned_ = id;
            }
        }

      private:
        Service& service_;
        grpc::ServerContext* context_;
        bool owner_ = false;
        OwnedSessions owned_;
        std::string last_owned_;
    };

    static Json env_init_of(const std::string& text) {
        Json env_init = text.empty() ? Json::object() : request_json(text, "'env_init_json'");
        if (!env_init.is_object()) {
            throw InvalidRequest("'env_init_json' must be a JSON object");
        }
        return env_init;
    }

    // A reset's options as sent, checked by reset_options_of; empty is none.
    static Json options_of(const std::string& text) {
        return text.empty() ? Json() : request_json(text, "'options_json'");
    }

    void step(const v1::StepRequest& request, v1::JsonReply& reply) {
        Json action = request_json(request.action_json(), "'action_json'");
        reply.set_json(wire_json::dump(sessions_.step(request.session_id(), action)));
    }

    template <class Call>
    grpc::Status reply_json(const grpc::ServerContext& context, const std::string& id,
                            v1::JsonReply* reply, Call&& call) {
        return served(context, [&] { reply->set_json(wire_json::dump(sessions_.with(id, call))); });
    }

    SessionRegistry& sessions_;
    std::mutex streams_mutex_;
    std::set<grpc::ServerContext*> streams_;
};

class GrpcListener final : public Listener {
  public:
    GrpcListener(SessionRegistry& sessions, const std::string& host, int port)
        : service_(sessions), health_(sessions) {
        route_grpc_logs();
        std::string address = Address{host, port}.text();
        grpc::ServerBuilder builder;
        int bound_port = 0;
        builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &bound_port);
        // Without this a second server on a taken port would start and share it silently.
        builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
        int limit = static_cast<int>(std::min<std::size_t>(max_message_setting(), INT_MAX));
        builder.SetMaxReceiveMessageSize(limit);
        builder.SetMaxSendMessageSize(limit);
        std::vector<std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface>>
            interceptors;
        interceptors.push_back(std::make_unique<UndecodableRequestsFactory>());
        builder.experimental().SetInterceptorCreators(std::move(interceptors));
        builder.RegisterService(&service_);
        builder.RegisterService(&health_);
        server_ = builder.BuildAndStart();
        if (!server_ || bound_port == 0) {
            throw std::runtime_error("Cannot serve on " + address +
                                     ": the port is taken or the address is not this machine's");
        }
    }
    ~GrpcListener() override { shutdown(); }

    void shutdown() override {
        if (server_) {
            service_.cancel_streams();
            health_.stop();
            // The sessions were closed first, so calls still in progress are ending already;
            // past a moment they are cancelled. gRPC waits out the whole moment while any
            // client keeps its connection, so it is short.
            server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(250));
            server_->Wait();
            server_.reset();
        }
    }

  private:
    Service service_;
    GrpcHealth health_;
    std::unique_ptr<grpc::Server> server_;
};

}  // namespace

std::unique_ptr<Listener> listen_grpc(SessionRegistry& sessions, const std::string& host,
                                      int port) {
    return std::make_unique<GrpcListener>(sessions, host, port);
}

}  // namespace norva_core::sim
