#pragma once

#include <string>

namespace norva_core::network_util {

// Whether something accepts TCP connections at "host:port", within a short time limit.
// Implemented in toolkit/sim/remote/reachability.cpp, with the simulator addresses it reads.
bool is_port_opened(const std::string& address);

// Whether something accepts TCP connections on 127.0.0.1 at the port: one blocking connect,
// with no time limit of its own. Throws std::system_error when no socket can be made.
// Implemented in toolkit/runtime/network_util.cpp.
bool accepts_on_loopback(int port);

}  // namespace norva_core::network_util
