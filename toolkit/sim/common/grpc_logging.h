#pragma once

namespace norva_core::sim {

// gRPC writes its own log lines to stderr; ours go through the debug log instead, so that a
// failure reaches the user once, in our words.
void route_grpc_logs();

}  // namespace norva_core::sim
