#pragma once

#include <optional>
#include <string>

namespace norva_core::sim {

struct Address {
    std::string host;
    int port = 0;
    // "host:port", with an IPv6 host in brackets.
    std::string text() const;
};

// Reads "host:port"; throws std::invalid_argument saying what is wrong with the text.
Address parse_address(const std::string& text);

// The address in the text, or nothing when it is not one: for checks that only answer yes or no.
std::optional<Address> readable_address(const std::string& text);

// Throws std::invalid_argument unless the protocol is "grpc" or "http".
void check_protocol(const std::string& protocol);

}  // namespace norva_core::sim
