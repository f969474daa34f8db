#pragma once

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

}  // namespace norva_core::sim
