#pragma once

#include <memory>
#include <string>

#include "norva_core/space.h"

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
