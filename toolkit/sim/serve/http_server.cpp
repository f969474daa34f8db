// The routes of the simulator protocol over HTTP and the checks of their bodies; the
// connections they arrive on are http_connections'.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "norva_core/settings.h"
#include "norva_core/text_forms.h"
#include "sim/common/message_limit.h"
#include "sim/common/wire_errors.h"
#include "sim/serve/http_connections.h"
#include "sim/serve/listener.h"
#include "sim/serve/owned_sessions.h"
#include "sim/serve/packed_bodies.h"

namespace norva_core::sim {
namespace {

constexpr std::string_view METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8";

HttpAnswer error_answer(int status, std::string_view kind, const std::string& message) {
    return {status, Json{{"error", message}, {"kind", kind}}.dump()};
}

// Runs one request and turns every failure into a status and a JSON error the client reads.
template <class Body>
HttpAnswer guarded(Body&& body) {
    std::string answer;
    if (auto failure = wire_errors::failure_of([&] { answer = wire_json::dump(body()); })) {
        return error_answer(failure->form.http_status, failure->form.kind, failure->message);
    }
    return {200, std::move(answer)};
}

// The request body as a JSON object; an empty body is an empty object.
Json body_of(const http_wire::Request& request) {
    if (request.body.empty()) {
        return Json::object();
    }
    Json body = request_json(request.body, "the request body");
    if (!body.is_object()) {
        throw InvalidRequest("the request body must be a JSON object");
    }
    return body;
}

// The parts of a path between its slashes.
std::vector<std::string_view> segments(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        auto slash = path.find('/');
        if (slash != 0) {
            parts.push_back(path.substr(0, slash));
        }
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

enum class Routes { all, metrics_only };

class HttpListener final : public Listener, private HttpHandler {
  public:
    HttpListener(SessionRegistry& sessions, const std::string& host, int port, Routes routes)
        : sessions_(sessions), routes_(routes), connections_(host, port, limits(), *this) {}
    ~HttpListener() override { shutdown(); }
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    void shutdown() override { connections_.shutdown(); }

  private:
    static ConnectionLimits limits() {
        return {max_message_setting(), settings::seconds_limit(settings::Key::sim_idle_limit),
                settings::seconds_limit(settings::Key::sim_stall_limit)};
    }

    HttpAnswer answer(const http_wire::Request& request) override { return route(request); }

    void closed(std::uint64_t connection) override {
        OwnedSessions owned;
        {
            std::lock_guard lock(owned_mutex_);
            auto found = owned_.find(connection);
            if (found == owned_.end()) {
                return;
            }
            owned = std::move(found->second);
            owned_.erase(found);
        }
        owned.close_all(sessions_);
    }

    // Marks what the request made as its connection's, when the client asked.
    void own(const http_wire::Request& request, const std::string& id, bool vector) {
        if (!request.owned_by_connection) {
            return;
        }
        std::lock_guard lock(owned_mutex_);
        auto& owned = owned_[request.connection];
        vector ? owned.add_vector(id) : owned.add_session(id);
    }

    HttpAnswer refusal(int status, const std::string& message) override {
        return error_answer(status, wire_errors::INVALID.kind, message);
    }

    // Unhealthy while new sessions cannot start, so a probe sees what every client would.
    HttpAnswer health() const {
        if (auto why = sessions_.unhealthy()) {
            return {503, Json{{"status", "failing"}, {"error", *why}}.dump(
                             -1, ' ', false, Json::error_handler_t::replace)};
        }
        return {200, R"({"status":"ok"})"};
    }

    HttpAnswer route(const http_wire::Request& request) {
        auto parts = segments(request.path);
        const std::string& method = request.method;
        bool probe = parts.size() == 2 && parts[0] == "v1" && parts[1] == "health";
        if (!probe && sessions_.token()) {
            if (auto refused = wire_errors::failure_of([&] {
                    std::vector<std::string_view> sent(request.authorizations.begin(),
                                                       request.authorizations.end());
                    access_token::require(*sessions_.token(), sent);
                })) {
                return error_answer(refused->form.http_status, refused->form.kind,
                                    refused->message);
            }
        }
        if (parts.size() == 1 && parts[0] == "metrics") {
            return method == "GET" ? HttpAnswer{200, sessions_.metrics_text(), METRICS_TYPE}
                                   : not_allowed(request);
        }
        if (routes_ == Routes::metrics_only || parts.size() < 2 || parts[0] != "v1") {
            return no_route(request);
        }
        if (probe) {
            return method == "GET" ? health() : not_allowed(request);
        }
        if (parts[1] == "vectors" && parts.size() <= 4) {
            return vector_route(request, parts);
        }
        if (parts[1] != "sessions" || parts.size() > 4) {
            return no_route(request);
        }
        if (parts.size() == 2) {
            return method == "POST" ? guarded([&] { return open(request); }) : not_allowed(request);
        }
        std::string id(parts[2]);
        if (parts.size() == 3) {
            return method == "DELETE" ? guarded([&] {
                sessions_.close(id);
                return Json::object();
            })
                                      : not_allowed(request);
        }
        auto call = parts[3];
        bool is_get = call == "sensor_space" || call == "action_space";
        if (!is_get && call != "reset" && call != "step") {
            return no_route(request);
        }
        if (method != (is_get ? "GET" : "POST")) {
            return not_allowed(request);
        }
        if (call == "step") {
            return guarded([&] {
                Json body = body_of(request);
                return sessions_.step(id, body.contains("action") ? body.at("action") : Json());
            });
        }
        return guarded([&] {
            // A malformed body is refused even where the call does not use it.
            Json body = body_of(request);
            auto field = [&](const char* name) {
                return body.contains(name) ? body.at(name) : Json();
            };
            auto reset = call == "reset" ? reset_options_of(field("seed"), field("options"))
                                         : ResetOptions{};
            return sessions_.with(id, [&](Simulator& simulator) {
                if (call == "sensor_space") {
                    return simulator.sensor_space();
                }
                if (call == "action_space") {
                    return simulator.action_space();
                }
                return simulator.reset_with(reset);
            });
        });
    }

    // POST /v1/vectors, DELETE /v1/vectors/{id}, POST /v1/vectors/{id}/reset and /step.
    HttpAnswer vector_route(const http_wire::Request& request,
                            const std::vector<std::string_view>& parts) {
        const std::string& method = request.method;
        if (parts.size() == 2) {
            return method == "POST" ? guarded([&] { return open_vector(request); })
                                    : not_allowed(request);
        }
        std::string id(parts[2]);
        if (parts.size() == 3) {
            return method == "DELETE" ? guarded([&] {
                sessions_.close_vector(id);
                return Json::object();
            })
                                      : not_allowed(request);
        }
        if (parts[3] != "reset" && parts[3] != "step") {
            return no_route(request);
        }
        if (method != "POST") {
            return not_allowed(request);
        }
        bool step = parts[3] == "step";
        if (request.sends_protobuf || request.accepts_protobuf) {
            return message_answer(request, id, step);
        }
        return guarded([&] {
            auto answered = vector_call(request, id, step);
            return wire_errors::slot_answers_json(std::move(answered.answers), answered.env_ids);
        });
    }

    // A vector's reset or step, its body JSON or a protobuf message as its type says.
    StepAnswers vector_call(const http_wire::Request& request, const std::string& id, bool step) {
        if (request.sends_protobuf) {
            return step ? step_of_message(request, id)
                        : StepAnswers{reset_of_message(request, id), {}};
        }
        Json body = body_of(request);
        auto field = [&](const char* name) { return body.contains(name) ? body.at(name) : Json(); };
        if (!step) {
            return {sessions_.reset_vector(
                        id, vector_reset_of(field("seed"), field("seeds"), field("options"))),
                    {}};
        }
        const Json& actions = field("actions");
        if (!actions.is_array()) {
            throw InvalidRequest("'actions' must be a list with one action per simulator");
        }
        return sessions_.step_vector(id,
                                     std::span<const Json>(actions.get_ref<const Json::array_t&>()),
                                     env_ids_of(field("env_ids")));
    }

    StepAnswers step_of_message(const http_wire::Request& request, const std::string& id) {
        auto body = step_body_of(request.body);
        if (body.actions && body.actions_json.empty()) {
            auto form = sessions_.packed_form(id);
            return sessions_.step_vector(
                id, actions_of(form.get(), *body.actions, action_rows(form.get(), body.env_ids)),
                body.env_ids);
        }
        Json listed = request_json(body.actions_json, "'actions_json'");
        if (!listed.is_array()) {
            throw InvalidRequest("'actions_json' must be a list with one action per simulator");
        }
        return sessions_.step_vector(
            id, std::span<const Json>(listed.get_ref<const Json::array_t&>()), body.env_ids);
    }

    std::vector<SlotAnswer> reset_of_message(const http_wire::Request& request,
                                             const std::string& id) {
        auto body = reset_body_of(request.body);
        Json seeds = Json::array();
        for (auto seed : body.seeds) {
            seeds.push_back(seed);
        }
        return sessions_.reset_vector(
            id, vector_reset_of(
                    body.seed ? Json(*body.seed) : Json(), body.seeds.empty() ? Json() : seeds,
                    body.options_json.empty() ? Json()
                                              : request_json(body.options_json, "'options_json'")));
    }

    // A vector call answered as the gRPC protocol's JsonReply when the client accepts it, as
    // JSON otherwise; a failure is a JSON error either way.
    HttpAnswer message_answer(const http_wire::Request& request, const std::string& id, bool step) {
        HttpAnswer answer{200, {}};
        auto failure = wire_errors::failure_of([&] {
            auto answered = vector_call(request, id, step);
            if (!request.accepts_protobuf) {
                answer.body = wire_json::dump(
                    wire_errors::slot_answers_json(std::move(answered.answers), answered.env_ids));
                return;
            }
            auto form = sessions_.packed_form(id);
            answer.body = vector_reply_body(form.get(), answered.answers, step, answered.env_ids);
            answer.content_type = PROTOBUF_TYPE;
        });
        if (failure) {
            return error_answer(failure->form.http_status, failure->form.kind, failure->message);
        }
        return answer;
    }

    Json open_vector(const http_wire::Request& request) {
        Json body = body_of(request);
        auto [env_id, env_init] = environment_of(body);
        const Json& autoreset = body.contains("autoreset") ? body.at("autoreset") : Json(true);
        if (!autoreset.is_boolean()) {
            throw InvalidRequest("'autoreset' must be true or false");
        }
        const Json& packed = body.contains("packed") ? body.at("packed") : Json(false);
        if (!packed.is_boolean()) {
            throw InvalidRequest("'packed' must be true or false");
        }
        const Json& batch_size = body.contains("batch_size") ? body.at("batch_size") : Json(0U);
        if (!batch_size.is_number_unsigned()) {
            throw InvalidRequest("'batch_size' must be a whole number of environments, not " +
                                 text_forms::quoted(batch_size.dump()));
        }
        auto made =
            sessions_.open_vector(env_id, env_init, vector_size_of(body.value("num_envs", Json())),
                                  {.autoreset = autoreset.get<bool>(),
                                   .packed = packed.get<bool>(),
                                   .batch_size = batch_size.get<std::size_t>()});
        own(request, made.id, true);
        return Json{{"vector_id", made.id}, {"session_ids", made.session_ids}};
    }

    // The env id and env init of a request that makes simulators.
    static std::pair<std::string, Json> environment_of(const Json& body) {
        if (body.contains("env_id") && !body.at("env_id").is_string()) {
            throw InvalidRequest("'env_id' must be a string");
        }
        auto env_init = body.value("env_init", Json::object());
        if (!env_init.is_object()) {
            throw InvalidRequest("'env_init' must be a JSON object");
        }
        return {body.value("env_id", std::string()), env_init};
    }

    Json open(const http_wire::Request& request) {
        auto [env_id, env_init] = environment_of(body_of(request));
        auto id = sessions_.open(env_id, env_init);
        own(request, id, false);
        return Json{{"session_id", id}};
    }

    static HttpAnswer no_route(const http_wire::Request& request) {
        return error_answer(404, wire_errors::INVALID.kind,
                            "no such route: " + text_forms::quoted(request.method) + " " +
                                text_forms::quoted(request.path));
    }

    static HttpAnswer not_allowed(const http_wire::Request& request) {
        return error_answer(405, wire_errors::INVALID.kind,
                            text_forms::quoted(request.method) + " is not served at " +
                                text_forms::quoted(request.path));
    }

    SessionRegistry& sessions_;
    Routes routes_;
    std::mutex owned_mutex_;
    std::map<std::uint64_t, OwnedSessions> owned_;
    // Last, so that it stops serving before the rest goes.
    HttpConnections connections_;
};

}  // namespace

std::unique_ptr<Listener> listen_http(SessionRegistry& sessions, const std::string& host,
                                      int port) {
    return std::make_unique<HttpListener>(sessions, host, port, Routes::all);
}

std::unique_ptr<Listener> listen_metrics(SessionRegistry& sessions, const std::string& host,
                                         int port) {
    return std::make_unique<HttpListener>(sessions, host, port, Routes::metrics_only);
}

}  // namespace norva_core::sim
