#pragma once

#include <memory>
#include <string>

#include "norva_core/sim_errors.h"
#include "norva_core/space.h"

// Implemented in toolkit/sim/benchmark.cpp and toolkit/sim/sim_client.cpp. Both throw
// SimulatorError for a sim that fails, ManifestError for a folder without a readable manifest,
// std::invalid_argument for a bad target, and Interrupted when a signal ends a wait.
namespace norva_core::sim_server_util {

// Steps per second of stepping time over `samples` steps.
double benchmark(const std::string& target, long samples);

class SpaceClient {
  public:
    virtual ~SpaceClient() = default;
    virtual Space action_space_info() = 0;
    virtual Space sensor_space_info() = 0;
};

std::unique_ptr<SpaceClient> create_client(const std::string& protocol, const std::string& env_id,
                                           const std::string& host, int port);

}  // namespace norva_core::sim_server_util
