#pragma once

#include <memory>

#include "sim/address.h"
#include "sim/simulator.h"

namespace norva_core::sim {

// A session with a simulator served at an address. Nothing is sent before make().
std::unique_ptr<Simulator> connect_grpc(const Address& address);
std::unique_ptr<Simulator> connect_http(const Address& address);

}  // namespace norva_core::sim
