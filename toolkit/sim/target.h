#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/common/manifest.h"
#include "sim/common/simulator.h"
#include "sim/remote/remote_simulator.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

// What validation and the benchmark work on: a sim folder, whose program is started directly,
// or an address served over a protocol ("grpc://" or "http://" in front of it picks one).
struct Target {
    std::unique_ptr<Simulator> simulator;
    // Only for a folder.
    std::optional<Manifest> manifest;
    // A folder's simulator process, which `simulator` is.
    WorkerProcess* process = nullptr;
};

// Starts the folder's program or prepares the connection; throws ManifestError for a folder
// that cannot be served and std::invalid_argument for an address that cannot be read.
// gRPC sessions send their steps as steps says.
Target open_target(const std::string& target, const std::string& protocol,
                   GrpcSteps steps = GrpcSteps::unary);

// The same for a vector of `count` simulators, with autoreset: local processes for a folder,
// a served vector for an address.
std::unique_ptr<SimulatorVector> open_vector_target(const std::string& target,
                                                    const std::string& protocol, std::size_t count);

}  // namespace norva_core::sim
