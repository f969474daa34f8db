#pragma once

#include <memory>
#include <string>

#include "sim/session_registry.h"

namespace norva_core::sim {

// A bound network front of a session registry; serves from construction until shut down.
class Listener {
  public:
    virtual ~Listener() = default;
    virtual void shutdown() = 0;
};

// Both throw std::runtime_error naming the address when it cannot be bound.
std::unique_ptr<Listener> listen_grpc(SessionRegistry& sessions, const std::string& host, int port);
std::unique_ptr<Listener> listen_http(SessionRegistry& sessions, const std::string& host, int port);

}  // namespace norva_core::sim
