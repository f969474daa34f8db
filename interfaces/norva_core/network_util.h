#pragma once

#include <string>

namespace norva_core::network_util {

// Whether something accepts TCP connections at "host:port", within a short time limit.
bool is_port_opened(const std::string& address);

}  // namespace norva_core::network_util
