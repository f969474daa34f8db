#include <httplib.h>
#include <netinet/tcp.h>

#include <atomic>
#include <thread>

#include "sim/listener.h"
#include "sim/message_limit.h"
#include "sim/wire_json.h"

namespace norva_core::sim {
namespace {

constexpr const char* JSON_TYPE = "application/json";

void reply_error(httplib::Response& response, int status, const char* kind,
                 const std::string& message) {
    response.status = status;
    response.set_content(Json{{"error", message}, {"kind", kind}}.dump(), JSON_TYPE);
}

// Runs one request and turns every failure into a status and a JSON error the client reads.
template <class Body>
void guarded(httplib::Response& response, Body&& body) {
    try {
        response.set_content(wire_json::dump(body()), JSON_TYPE);
    } catch (const SessionNotFound& error) {
        reply_error(response, 404, "not_found", error.what());
    } catch (const SimulatorError& error) {
        switch (error.kind()) {
            case SimulatorError::Kind::answered:
                reply_error(response, 422, "answered", error.what());
                break;
            case SimulatorError::Kind::timed_out:
                reply_error(response, 504, "timed_out", error.what());
                break;
            case SimulatorError::Kind::failed:
            case SimulatorError::Kind::unreachable:
                reply_error(response, 502, "failed", error.what());
                break;
        }
    } catch (const InvalidRequest& error) {
        reply_error(response, 400, "invalid", error.what());
    } catch (const std::exception& error) {
        reply_error(response, 500, "failed", error.what());
    }
}

// The request body as a JSON object; an empty body is an empty object.
Json body_of(const httplib::Request& request) {
    if (request.body.empty()) {
        return Json::object();
    }
    Json body = request_json(request.body, "the request body");
    if (!body.is_object()) {
        throw InvalidRequest("the request body must be a JSON object");
    }
    return body;
}

// Errors that no route answered (an unknown path, a body over the limit) get a JSON body too.
void explain_error(const httplib::Request& request, httplib::Response& response) {
    if (!response.body.empty()) {
        return;
    }
    std::string message = response.status == 404
                              ? "no such route: " + request.method + " " + request.path
                          : response.status == 413
                              ? "the request body is " + over_message_limit(max_message_setting())
                              : "HTTP " + std::to_string(response.status);
    reply_error(response, response.status, "invalid", message);
}

void sockets_for_serving(socket_t socket) {
    int yes = 1;
    // Reuse after a restart, but never share a port another server holds.
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

class HttpListener final : public Listener {
  public:
    HttpListener(SessionRegistry& sessions, const std::string& host, int port)
        : sessions_(sessions) {
        server_.set_socket_options(sockets_for_serving);
        server_.set_tcp_nodelay(true);
        server_.set_keep_alive_max_count(1000000);
        server_.set_payload_max_length(max_message_setting());
        server_.set_error_handler(explain_error);
        // Idle connections are dropped soon, so that stopping never waits long for them;
        // clients reconnect on their next call.
        server_.set_keep_alive_timeout(1);
        // One thread per connection being served; httplib takes ownership of the pool.
        server_.new_task_queue = [] { return new httplib::ThreadPool(64); };
        route();
        if (!server_.bind_to_port(host, port)) {
            throw std::runtime_error("Cannot serve on " + host + ":" + std::to_string(port) +
                                     ": the port is taken or the address is not this machine's");
        }
        thread_ = std::thread([this] {
            server_.listen_after_bind();
            finished_ = true;
        });
        // A stop that came before the accept loop runs would be lost, and the loop would go on.
        while (!server_.is_running() && !finished_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~HttpListener() override { shutdown(); }

    void shutdown() override {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

  private:
    void route() {
        server_.Get("/v1/health", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"status":"ok"})", JSON_TYPE);
        });
        server_.Post("/v1/sessions",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         guarded(response, [&] {
                             Json body = body_of(request);
                             if (body.contains("env_id") && !body.at("env_id").is_string()) {
                                 throw InvalidRequest("'env_id' must be a string");
                             }
                             auto env_id = body.value("env_id", std::string());
                             auto env_init = body.value("env_init", Json::object());
                             if (!env_init.is_object()) {
                                 throw InvalidRequest("'env_init' must be a JSON object");
                             }
                             return Json{{"session_id", sessions_.open(env_id, env_init)}};
                         });
                     });
        session_route("sensor_space", false,
                      [](Simulator& simulator, const Json&) { return simulator.sensor_space(); });
        session_route("action_space", false,
                      [](Simulator& simulator, const Json&) { return simulator.action_space(); });
        session_route("reset", true,
                      [](Simulator& simulator, const Json&) { return simulator.reset(); });
        session_route("step", true, [](Simulator& simulator, const Json& body) {
            return simulator.step(body.contains("action") ? body.at("action") : Json());
        });
        server_.Delete(R"(/v1/sessions/([0-9a-f]+))",
                       [this](const httplib::Request& request, httplib::Response& response) {
                           guarded(response, [&] {
                               sessions_.close(request.matches[1]);
                               return Json::object();
                           });
                       });
    }

    template <class Call>
    void session_route(const std::string& name, bool post, Call call) {
        auto handler = [this, call](const httplib::Request& request, httplib::Response& response) {
            guarded(response, [&] {
                Json body = body_of(request);
                return sessions_.with(request.matches[1],
                                      [&](Simulator& simulator) { return call(simulator, body); });
            });
        };
        std::string pattern = "/v1/sessions/([0-9a-f]+)/" + name;
        if (post) {
            server_.Post(pattern, handler);
        } else {
            server_.Get(pattern, handler);
        }
    }

    SessionRegistry& sessions_;
    httplib::Server server_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Listener> listen_http(SessionRegistry& sessions, const std::string& host,
                                      int port) {
    return std::make_unique<HttpListener>(sessions, host, port);
}

}  // namespace norva_core::sim
