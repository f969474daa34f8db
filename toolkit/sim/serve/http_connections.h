#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "norva_core/unique_fd.h"
#include "sim/serve/http_wire.h"

// The connection side of our HTTP/1.1 server, which knows nothing of what it serves. Each
// connection is served by a thread of its own, from accept to close: a request then runs on one
// thread from request to answer, pipelined requests are simply the next ones read, and an idle
// kept-alive connection costs one sleeping thread, never a place that a new client waits for.
namespace norva_core::sim {

struct HttpAnswer {
    int status;
    std::string body;
    std::string_view content_type = "application/json";
};

// What is served: an answer for every request, and the body of a refusal of bytes that are no
// request this server takes.
class HttpHandler {
  public:
    virtual ~HttpHandler() = default;
    virtual HttpAnswer answer(const http_wire::Request& request) = 0;
    virtual HttpAnswer refusal(int status, const std::string& message) = 0;
    // The connection a request's `connection` named has closed.
    virtual void closed(std::uint64_t connection) = 0;
};

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
    void join_all();

  private:
    void reap_locked();

    std::mutex mutex_;
    std::uint64_t next_id_ = 0;
    std::map<std::uint64_t, std::thread> running_;
    std::vector<std::uint64_t> finished_;
};

struct ConnectionLimits {
    std::size_t max_body;
    // How long a kept-alive connection may wait for its next request.
    std::chrono::milliseconds idle;
    // How long a request that has begun may stop arriving.
    std::chrono::milliseconds stall;
};

// Listens on host:port and serves the handler from construction until shutdown. Throws
// std::runtime_error naming the address when it cannot be bound.
class HttpConnections {
  public:
    HttpConnections(const std::string& host, int port, ConnectionLimits limits,
                    HttpHandler& handler);
    ~HttpConnections();
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

    void shutdown();

  private:
    void accept_connections();
    void serve(const UniqueFd& socket, std::uint64_t connection);
    bool read_more(const UniqueFd& socket, std::string& buffer);
    void close_gracefully(const UniqueFd& socket);

    HttpHandler& handler_;
    ConnectionLimits limits_;
    UniqueFd listening_;
    UniqueFd stop_read_;
    UniqueFd stop_write_;
    ConnectionThreads connections_;
    std::uint64_t next_connection_ = 0;
    std::thread accepting_;
};

}  // namespace norva_core::sim
