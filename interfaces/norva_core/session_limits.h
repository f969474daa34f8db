#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

// Implemented in toolkit/sim/serve/session_registry.cpp, which keeps them.
namespace norva_core::sim {

// What a server allows its clients' sessions.
struct SessionLimits {
    // Past this many open sessions, a new one is refused.
    std::optional<std::size_t> max_sessions;
    // A session that receives no call for this long is closed, its simulator ended.
    std::optional<std::chrono::milliseconds> idle_timeout;
    // Every call but the health probe must carry it; without one, every call is served.
    std::optional<std::string> token;
};

// How `sim run` serves beyond its sim, address, environment and protocol.
struct ServeOptions {
    SessionLimits limits;
    // When set, GET /metrics is also served there over plain HTTP, on the same host.
    std::optional<int> metrics_port;
};

}  // namespace norva_core::sim
