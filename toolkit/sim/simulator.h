#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "norva_core/sim_errors.h"

namespace norva_core::sim {

using Json = nlohmann::ordered_json;

// One session with a simulator, wherever it runs: a local program or a server.
class Simulator {
  public:
    virtual ~Simulator() = default;
    virtual void make(const std::string& env_id, const Json& env_init) = 0;
    virtual Json sensor_space() = 0;
    virtual Json action_space() = 0;
    // {"observation": v, "info": {...}}
    virtual Json reset() = 0;
    // {"observation": v, "reward": n, "terminated": b, "truncated": b, "info": {...}}
    virtual Json step(const Json& action) = 0;
    virtual void close() = 0;
};

}  // namespace norva_core::sim
