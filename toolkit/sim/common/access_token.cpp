#include "sim/common/access_token.h"

#include <algorithm>
#include <cctype>

#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace norva_core::sim::access_token {
namespace {

constexpr std::string_view SCHEME = "Bearer ";

bool is_scheme(std::string_view word) {
    constexpr std::string_view BEARER = "bearer";
    return word.size() == BEARER.size() &&
           std::equal(word.begin(), word.end(), BEARER.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

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

void require(const std::string& token, std::span<const std::string_view> sent) {
    if (sent.empty()) {
        throw Unauthenticated(
            "this server needs a token: send it as 'Authorization: Bearer <token>' (gRPC: the "
            "'authorization' metadata); norva's clients send NORVA_SIM_TOKEN");
    }
    if (sent.size() > 1) {
        throw Unauthenticated("send the token once: the call carries " +
                              std::to_string(sent.size()) + " authorizations");
    }
    auto given = text_forms::trimmed(sent.front());
    auto space = given.find(' ');
    bool right = space != std::string_view::npos && is_scheme(given.substr(0, space)) &&
                 same(text_forms::trimmed(given.substr(space)), token);
    if (!right) {
        throw Unauthenticated("the token is not this server's");
    }
}

}  // namespace norva_core::sim::access_token
