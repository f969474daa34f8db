#pragma once

#include <memory>
#include <string>

#include "norva_core/http.h"
#include "sim/address.h"
#include "sim/listener.h"
#include "sim/remote_simulator.h"

namespace norva_core::network {

// Everything that needs curl, gRPC or the HTTP library. These libraries take longer to
// load than most commands take to run, so they live in a module that the program loads the
// first time one of these is called.
struct NetworkTable {
    http::Response (*send)(const http::Request&);
    std::unique_ptr<sim::Simulator> (*connect_grpc)(const sim::Address&, sim::GrpcSteps);
    std::unique_ptr<sim::Simulator> (*connect_http)(const sim::Address&);
    std::unique_ptr<sim::Listener> (*listen_grpc)(sim::SessionRegistry&, const std::string&, int);
    bool (*is_channel_available)(const std::string&);
};

// The module's file, relative to the install prefix, and the function it exports.
inline constexpr const char* MODULE_PATH = "lib/norva/norva-network.so";
inline constexpr const char* TABLE_FUNCTION = "norva_network_table";

}  // namespace norva_core::network
