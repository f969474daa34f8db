#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace norva_core::http {

// A transport failure (refused connection, TLS failure, ...); the text is the transport's.
class ClientError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A time limit ran out. Its text is empty.
class TimeoutError : public std::runtime_error {
  public:
    TimeoutError() : std::runtime_error("") {}
};

// The peer accepted the request but moved no data for the request's stall limit.
class StalledError : public ClientError {
  public:
    using ClientError::ClientError;
};

// The answer's body is longer than the request allows.
class TooLargeError : public ClientError {
  public:
    using ClientError::ClientError;
};

// How the peer's certificate is verified. Verification is always on; the CA bundle is the
// system's unless one is named.
struct TlsConfig {
    std::optional<std::string> ca_bundle;
};

// NORVA_CA_BUNDLE when set, otherwise the system's CA bundle.
TlsConfig default_tls();

struct FormPart {
    std::string name;
    std::string value;                     // the text, or for a file part its path
    std::optional<std::string> file_name;  // set for a file part
};

struct Request {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, the body is sent as multipart/form-data instead.
    std::vector<FormPart> form;
    std::optional<std::chrono::milliseconds> total_timeout;
    std::optional<std::chrono::milliseconds> connect_timeout;
    // When set, a transfer that moves no data for this long fails with StalledError.
    std::optional<std::chrono::milliseconds> stall_timeout;
    // A longer answer body fails with TooLargeError.
    std::size_t max_response = std::size_t{64} << 20;
    // Told the bytes of the request sent so far and in all (0 while not known), as they go.
    std::function<void(std::uint64_t sent, std::uint64_t total)> upload_progress;
    TlsConfig tls = default_tls();
};

struct Response {
    long status = 0;
    std::string body;
};

// Sends one request on its own connection, which is closed on every path. Any HTTP status is a
// response; only transport failures, time-outs and the limits above throw. An interrupt throws
// Interrupted. Implemented in toolkit/http/http_client.cpp.
Response send(const Request& request);

}  // namespace norva_core::http
