#pragma once

#include <string>

// Implemented in toolkit/sim/remote/grpc_reachability.cpp, in the network module.
namespace norva_core::grpc_util {

// Whether a gRPC channel to "host:port" becomes ready within a short time limit.
bool is_channel_available(const std::string& address);

}  // namespace norva_core::grpc_util
