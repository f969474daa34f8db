#include "sim/transport/access_token.h"

#include "norva_core/settings.h"

namespace norva_core::sim::access_token {
namespace {

constexpr std::string_view SCHEME = "Bearer ";

// Equal texts, looked at to the end whatever the first difference, so that the time taken says
// nothing of how much of a guess was right.
bool same(std::string_view given, std::string_view expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t at = 0; at < expected.size(); ++at) {
        unsigned char from_given = at < given.size() ? static_cast<unsigned char>(given[at]) : 0;
        difference |=
            static_cast<unsigned char>(from_given ^ static_cast<unsigned char>(expected[at]));
    }
    return difference == 0;
}

}  // namespace

std::optional<std::string> of_clients() {
    auto token = settings::value(settings::Key::sim_token);
    if (!token || token->empty()) {
        return std::nullopt;
    }
    return token;
}

std::string authorization(const std::string& token) {
    return std::string(SCHEME) + token;
}

void require(const std::string& token, std::optional<std::string_view> authorization) {
    if (!authorization) {
        throw Unauthenticated(
            "this server needs a token: send it as 'Authorization: Bearer <token>' (gRPC: the "
            "'authorization' metadata); norva's clients send NORVA_SIM_TOKEN");
    }
    auto given = *authorization;
    if (given.substr(0, SCHEME.size()) != SCHEME || !same(given.substr(SCHEME.size()), token)) {
        throw Unauthenticated("the token is not this server's");
    }
}

}  // namespace norva_core::sim::access_token
