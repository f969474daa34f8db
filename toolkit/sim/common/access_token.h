#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// The token a served sim may require of every call but its health probe: sent as
// "Authorization: Bearer <token>" over HTTP and as the "authorization" metadata over gRPC.
namespace norva_core::sim::access_token {

// A call without the token, or with another; nothing of the token is in its text.
class Unauthenticated : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What norva's clients send: NORVA_SIM_TOKEN, when it is set and not empty.
std::optional<std::string> of_clients();

// The value of the header or metadata that carries the token.
std::string authorization(const std::string& token);

// Throws Unauthenticated unless the one authorization sent carries `token` (the scheme in any
// case, blanks around the token ignored, as HTTP ignores them around a header's value); the
// comparison takes the same time wherever the two differ. Two or more are refused, since servers
// and proxies disagree on which one counts.
void require(const std::string& token, std::span<const std::string_view> sent);

}  // namespace norva_core::sim::access_token
