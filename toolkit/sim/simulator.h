#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "norva_core/sim_errors.h"

namespace norva_core::sim {

using Json = nlohmann::ordered_json;

// What a reset may carry to the simulator, as it is; a simulator that does not know them ignores
// them, and a reset without them is the plain one.
struct ResetOptions {
    std::optional<std::uint64_t> seed;
    // A JSON object.
    std::optional<Json> options;
};

// One session with a simulator, wherever it runs: a local program or a server.
class Simulator {
  public:
    virtual ~Simulator() = default;
    virtual void make(const std::string& env_id, const Json& env_init) = 0;
    virtual Json sensor_space() = 0;
    virtual Json action_space() = 0;
    // {"observation": v, "info": {...}}
    Json reset() { return reset_with({}); }
    virtual Json reset_with(const ResetOptions& options) = 0;
    // {"observation": v, "reward": n, "terminated": b, "truncated": b, "info": {...}}
    virtual Json step(const Json& action) = 0;
    virtual void close() = 0;
};

}  // namespace norva_core::sim
