// The HTTP front of a session registry. Each connection is served by a thread of its own, from
// accept to close: a step then runs on one thread from request to answer, pipelined requests are
// simply the next ones read, and an idle kept-alive connection costs one sleeping thread, never
// a place that a new client waits for.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "norva_core/unique_fd.h"
#include "os/os.h"
#include "sim/message_limit.h"
#include "sim/transport/address.h"
#include "sim/transport/http_wire.h"
#include "sim/transport/listener.h"

namespace norva_core::sim {
namespace {

using namespace std::chrono_literals;

// A kept-alive connection may wait this long for its next request.
constexpr auto IDLE_LIMIT = 600s;
// A request that has begun must go on arriving.
constexpr auto STALL_LIMIT = 60s;
constexpr std::size_t READ_SIZE = std::size_t{64} * 1024;

struct Answer {
    int status;
    std::string body;
    std::string_view content_type = "application/json";
};

constexpr std::string_view METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8";

Answer error_answer(int status, const char* kind, const std::string& message) {
    return {status, Json{{"error", message}, {"kind", kind}}.dump()};
}

// Runs one request and turns every failure into a status and a JSON error the client reads.
template <class Body>
Answer guarded(Body&& body) {
    try {
        return {200, wire_json::dump(body())};
    } catch (const SessionNotFound& error) {
        return error_answer(404, "not_found", error.what());
    } catch (const SessionLimit& error) {
        return error_answer(503, "busy", error.what());
    } catch (const SimulatorError& error) {
        switch (error.kind()) {
            case SimulatorError::Kind::answered:
                return error_answer(422, "answered", error.what());
            case SimulatorError::Kind::timed_out:
                return error_answer(504, "timed_out", error.what());
            case SimulatorError::Kind::failed:
            case SimulatorError::Kind::unreachable:
                break;
        }
        return error_answer(502, "failed", error.what());
    } catch (const InvalidRequest& error) {
        return error_answer(400, "invalid", error.what());
    } catch (const std::exception& error) {
        return error_answer(500, "failed", error.what());
    }
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

// A bound, listening socket for the host and port.
UniqueFd bound_socket(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) ==
        0) {
        for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            UniqueFd socket(os::cloexec_socket(entry->ai_family, entry->ai_socktype,
                                               entry->ai_protocol, false));
            if (!socket) {
                continue;
            }
            int yes = 1;
            // Reuse after a restart, but never share a port another server holds.
            ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (::bind(socket.get(), entry->ai_addr, entry->ai_addrlen) == 0 &&
                ::listen(socket.get(), SOMAXCONN) == 0) {
                ::freeaddrinfo(found);
                return socket;
            }
        }
        ::freeaddrinfo(found);
    }
    throw std::runtime_error("Cannot serve on " + Address{host, port}.text() +
                             ": the port is taken or the address is not this machine's");
}

// Waits until the socket can be read, the server stops, or the time runs out.
enum class Wait { readable, stopping, timed_out };
Wait wait_readable(int socket, int stop_signal, std::chrono::milliseconds limit) {
    pollfd entries[2] = {{socket, POLLIN, 0}, {stop_signal, POLLIN, 0}};
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Wait::timed_out;
        }
        int ready = ::poll(entries, 2, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready < 0 && errno != EINTR) {
            return Wait::stopping;
        }
        if (ready > 0) {
            return entries[1].revents != 0 ? Wait::stopping : Wait::readable;
        }
    }
}

// The threads of open connections; finished ones are joined as new ones start.
class ConnectionThreads {
  public:
    template <class Serve>
    void start(Serve&& serve) {
        std::lock_guard lock(mutex_);
        reap_locked();
        auto id = next_id_++;
        running_.emplace(id, std::thread([this, id, serve = std::forward<Serve>(serve)]() mutable {
                             serve();
                             std::lock_guard done(mutex_);
                             finished_.push_back(id);
                         }));
    }

    void join_all() {
        std::map<std::uint64_t, std::thread> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(running_);
        }
        for (auto& [id, thread] : all) {
            thread.join();
        }
    }

  private:
    void reap_locked() {
        for (auto id : finished_) {
            auto found = running_.find(id);
            if (found != running_.end()) {
                found->second.join();
                running_.erase(found);
            }
        }
        finished_.clear();
    }

    std::mutex mutex_;
    std::uint64_t next_id_ = 0;
    std::map<std::uint64_t, std::thread> running_;
    std::vector<std::uint64_t> finished_;
};

enum class Routes { all, metrics_only };

class HttpListener final : public Listener {
  public:
    HttpListener(SessionRegistry& sessions, const std::string& host, int port, Routes routes)
        : sessions_(sessions), routes_(routes), max_message_(max_message_setting()) {
        listening_ = bound_socket(host, port);
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0) {
            throw std::runtime_error("Cannot serve: no pipe for stopping the server");
        }
        stop_read_.reset(pipe_ends[0]);
        stop_write_.reset(pipe_ends[1]);
        accepting_ = std::thread([this] { accept_connections(); });
    }
    ~HttpListener() override { shutdown(); }

    void shutdown() override {
        if (!accepting_.joinable()) {
            return;
        }
        // Every thread polls the pipe's reading end; closing the other end wakes them all.
        stop_write_.reset();
        accepting_.join();
        listening_.reset();
        connections_.join_all();
    }

  private:
    void accept_connections() {
        for (;;) {
            if (wait_readable(listening_.get(), stop_read_.get(), 1h) == Wait::stopping) {
                return;
            }
            UniqueFd socket(os::accept_connection(listening_.get()));
            if (!socket) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors for now: the backlog holds the client a moment.
                    std::this_thread::sleep_for(10ms);
                }
                continue;
            }
            int yes = 1;
            ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            connections_.start([this, socket = std::move(socket)] { serve(socket); });
        }
    }

    // Answers the connection's requests in order until it closes, idles too long, or the server
    // stops.
    void serve(const UniqueFd& socket) {
        std::string buffer;
        bool continue_sent = false;
        for (;;) {
            auto parse = http_wire::parse_request(buffer, max_message_);
            if (parse.state == http_wire::Parse::State::complete) {
                buffer.erase(0, parse.consumed);
                continue_sent = false;
                auto answer = route(parse.request);
                bool keep_alive = parse.request.keep_alive;
                if (!send_all(socket.get(), http_wire::response(answer.status, answer.body,
                                                                keep_alive, answer.content_type)) ||
                    !keep_alive) {
                    return;
                }
                continue;
            }
            if (parse.state == http_wire::Parse::State::refused) {
                auto answer = error_answer(parse.status, "invalid", parse.message);
                send_all(socket.get(), http_wire::response(answer.status, answer.body, false));
                close_gracefully(socket);
                return;
            }
            if (parse.expects_continue && !continue_sent) {
                continue_sent = send_all(socket.get(), http_wire::CONTINUE);
            }
            if (!read_more(socket, buffer)) {
                return;
            }
        }
    }

    bool read_more(const UniqueFd& socket, std::string& buffer) {
        auto limit = buffer.empty() ? std::chrono::milliseconds(IDLE_LIMIT)
                                    : std::chrono::milliseconds(STALL_LIMIT);
        if (wait_readable(socket.get(), stop_read_.get(), limit) != Wait::readable) {
            return false;
        }
        std::size_t had = buffer.size();
        buffer.resize(had + READ_SIZE);
        ssize_t count = ::recv(socket.get(), buffer.data() + had, READ_SIZE, 0);
        buffer.resize(had + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        return count > 0 || (count < 0 && errno == EINTR);
    }

    // After a refusal the client may still be sending; closing with its bytes unread would reset
    // the connection before it reads the answer.
    void close_gracefully(const UniqueFd& socket) {
        ::shutdown(socket.get(), SHUT_WR);
        char discard[READ_SIZE];
        auto until = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < until &&
               wait_readable(socket.get(), stop_read_.get(), 200ms) == Wait::readable &&
               ::recv(socket.get(), discard, sizeof discard, 0) > 0) {
        }
    }

    Answer route(const http_wire::Request& request) {
        auto parts = segments(request.path);
        const std::string& method = request.method;
        if (parts.size() == 1 && parts[0] == "metrics") {
            return method == "GET" ? Answer{200, sessions_.metrics_text(), METRICS_TYPE}
                                   : not_allowed(request);
        }
        if (routes_ == Routes::metrics_only || parts.size() < 2 || parts[0] != "v1") {
            return no_route(request);
        }
        if (parts.size() == 2 && parts[1] == "health") {
            return method == "GET" ? Answer{200, R"({"status":"ok"})"} : not_allowed(request);
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
            body_of(request);
            return sessions_.with(id, [&](Simulator& simulator) {
                if (call == "sensor_space") {
                    return simulator.sensor_space();
                }
                if (call == "action_space") {
                    return simulator.action_space();
                }
                return simulator.reset();
            });
        });
    }

    Json open(const http_wire::Request& request) {
        Json body = body_of(request);
        if (body.contains("env_id") && !body.at("env_id").is_string()) {
            throw InvalidRequest("'env_id' must be a string");
        }
        auto env_init = body.value("env_init", Json::object());
        if (!env_init.is_object()) {
            throw InvalidRequest("'env_init' must be a JSON object");
        }
        return Json{{"session_id", sessions_.open(body.value("env_id", std::string()), env_init)}};
    }

    static Answer no_route(const http_wire::Request& request) {
        return error_answer(404, "invalid",
                            "no such route: " + request.method + " " + request.path);
    }

    static Answer not_allowed(const http_wire::Request& request) {
        return error_answer(405, "invalid", request.method + " is not served at " + request.path);
    }

    SessionRegistry& sessions_;
    Routes routes_;
    std::size_t max_message_;
    UniqueFd listening_;
    UniqueFd stop_read_;
    UniqueFd stop_write_;
    ConnectionThreads connections_;
    std::thread accepting_;
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
