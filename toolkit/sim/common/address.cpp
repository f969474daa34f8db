#include "sim/common/address.h"

#include <charconv>
#include <stdexcept>

namespace norva_core::sim {

std::string Address::text() const {
    bool bare_ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    return (bare_ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Address parse_address(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw std::invalid_argument("The address '" + text +
                                    "' has no port; write it as host:port, e.g. localhost:1337");
    }
    Address address;
    address.host = text.substr(0, colon);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
    }
    auto port_text = text.substr(colon + 1);
    auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), address.port);
    if (port_text.empty() || error != std::errc{} || end != port_text.data() + port_text.size() ||
        address.port < 1 || address.port > 65535) {
        throw std::invalid_argument("The address '" + text + "' has no valid port: '" + port_text +
                                    "' is not a port number (1 to 65535)");
    }
    return address;
}

std::optional<Address> readable_address(const std::string& text) {
    try {
        return parse_address(text);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

void check_protocol(const std::string& protocol) {
    if (protocol != "grpc" && protocol != "http") {
        throw std::invalid_argument("Unknown protocol '" + protocol + "': use grpc or http");
    }
}

}  // namespace norva_core::sim
