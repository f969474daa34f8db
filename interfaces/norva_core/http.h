#pragma once

#include <chrono>
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
    TlsConfig tls = default_tls();
};

struct Response {
    long status = 0;
    std::string body;
};

// Sends one request on its own connection, which is closed on every path. Any HTTP status is a
// response; only transport failures and time-outs throw. An interrupt throws Interrupted.
Response send(const Request& request);

}  // namespace norva_core::http
