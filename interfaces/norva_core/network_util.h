#pragma once

#include <string>

// Implemented in toolkit/sim/reachability.cpp.
namespace norva_core::network_util {

// Whether something accepts TCP connections at "host:port", within a short time limit.
bool is_port_opened(const std::string& address);

// Whether something accepts TCP connections on 127.0.0.1 at the port: one blocking connect,
// with no time limit of its own. Throws std::system_error when no socket can be made.
bool accepts_on_loopback(int port);

}  // namespace norva_core::network_util
