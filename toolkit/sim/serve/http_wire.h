#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// HTTP/1.1 as the simulator protocol needs it (RFC 9112): requests read from the front of a
// connection's bytes, so that pipelined requests wait their turn, and whole answers for one
// write each.
namespace norva_core::sim::http_wire {

struct Request {
    std::string method;
    std::string path;  // the target without its query
    std::string body;
    bool keep_alive = true;
    // The Authorization headers, as many as were sent.
    std::vector<std::string> authorizations;
    // "Norva-Owner: connection": what the request makes belongs to the connection it came on.
    bool owned_by_connection = false;
    // Its body is, and its answer may be, a protobuf message ("Content-Type" and "Accept" of
    // application/x-protobuf).
    bool sends_protobuf = false;
    bool accepts_protobuf = false;
    // Which of the server's connections it came on; set by the connection side.
    std::uint64_t connection = 0;
};

struct Parse {
    enum class State {
        // More bytes are needed.
        incomplete,
        // `request` took the first `consumed` bytes.
        complete,
        // The bytes are no request this server takes: answer `status` with `message`, then close.
        refused,
    };
    State state = State::incomplete;
    Request request;
    std::size_t consumed = 0;
    // Incomplete: the head is in and asks for "100 Continue" before the client sends its body.
    bool expects_continue = false;
    int status = 0;
    std::string message;
};

// The most a request's line and headers may take.
inline constexpr std::size_t MAX_HEAD = std::size_t{64} * 1024;

// Reads the request at the front of `data`; its body may hold at most max_body bytes.
Parse parse_request(std::string_view data, std::size_t max_body);

// A whole answer, its body JSON unless another type is named.
std::string response(int status, std::string_view body, bool keep_alive,
                     std::string_view content_type = "application/json");

inline constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace norva_core::sim::http_wire
