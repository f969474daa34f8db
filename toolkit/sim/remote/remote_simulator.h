#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "sim/common/address.h"
#include "sim/common/simulator.h"

namespace norva_core::sim {

// How a gRPC session sends its steps: one call each, or all over one stream, which saves the
// per-call cost for clients that step many times.
enum class GrpcSteps { unary, streamed };

// A session with a simulator served at an address. Nothing is sent before make().
std::unique_ptr<Simulator> connect_grpc(const Address& address, GrpcSteps steps = GrpcSteps::unary);
std::unique_ptr<Simulator> connect_http(const Address& address);

// A vector of `count` sessions with a simulator served at an address, with autoreset. Nothing is
// sent before make().
std::unique_ptr<SimulatorVector> connect_grpc_vector(const Address& address, std::size_t count);
std::unique_ptr<SimulatorVector> connect_http_vector(const Address& address, std::size_t count);

// What a client still holds on the server when it goes: closed when the server answers. One it
// cannot reach ends the session itself, when it stops or once the session is idle.
template <class Remote>
void close_if_held(const std::string& id, Remote& remote) noexcept {
    if (id.empty()) {
        return;
    }
    try {
        remote.close();
    } catch (...) {
        // Left to the server, as above.
    }
}

}  // namespace norva_core::sim
