#include "sim/serve/http_connections.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "os/os.h"
#include "sim/common/address.h"

namespace norva_core::sim {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t READ_SIZE = std::size_t{64} * 1024;

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

}  // namespace

void ConnectionThreads::join_all() {
    std::map<std::uint64_t, std::thread> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(running_);
    }
    for (auto& [id, thread] : all) {
        thread.join();
    }
}

void ConnectionThreads::reap_locked() {
    for (auto id : finished_) {
        auto found = running_.find(id);
        if (found != running_.end()) {
            found->second.join();
            running_.erase(found);
        }
    }
    finished_.clear();
}

HttpConnections::HttpConnections(const std::string& host, int port, ConnectionLimits limits,
                                 HttpHandler& handler)
    : handler_(handler), limits_(limits), listening_(bound_socket(host, port)) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) {
        throw std::runtime_error("Cannot serve: no pipe for stopping the server");
    }
    stop_read_.reset(pipe_ends[0]);
    stop_write_.reset(pipe_ends[1]);
    accepting_ = std::thread([this] { accept_connections(); });
}

HttpConnections::~HttpConnections() {
    shutdown();
}

void HttpConnections::shutdown() {
    if (!accepting_.joinable()) {
        return;
    }
    // Every thread polls the pipe's reading end; closing the other end wakes them all.
    stop_write_.reset();
    accepting_.join();
    listening_.reset();
    connections_.join_all();
}

void HttpConnections::accept_connections() {
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
        connections_.start([this, socket = std::move(socket), id = ++next_connection_] {
            serve(socket, id);
            handler_.closed(id);
        });
    }
}

// Answers the connection's requests in order until it closes, idles too long, or the server
// stops.
void HttpConnections::serve(const UniqueFd& socket, std::uint64_t connection) {
    std::string buffer;
    bool continue_sent = false;
    for (;;) {
        auto parse = http_wire::parse_request(buffer, limits_.max_body);
        if (parse.state == http_wire::Parse::State::complete) {
            buffer.erase(0, parse.consumed);
            continue_sent = false;
            parse.request.connection = connection;
            auto answer = handler_.answer(parse.request);
            bool keep_alive = parse.request.keep_alive;
            if (!send_all(socket.get(), http_wire::response(answer.status, answer.body, keep_alive,
                                                            answer.content_type)) ||
                !keep_alive) {
                return;
            }
            continue;
        }
        if (parse.state == http_wire::Parse::State::refused) {
            auto answer = handler_.refusal(parse.status, parse.message);
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

bool HttpConnections::read_more(const UniqueFd& socket, std::string& buffer) {
    auto limit = buffer.empty() ? limits_.idle : limits_.stall;
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
void HttpConnections::close_gracefully(const UniqueFd& socket) {
    ::shutdown(socket.get(), SHUT_WR);
    char discard[READ_SIZE];
    auto until = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < until &&
           wait_readable(socket.get(), stop_read_.get(), 200ms) == Wait::readable &&
           ::recv(socket.get(), discard, sizeof discard, 0) > 0) {
    }
}

}  // namespace norva_core::sim
