#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "norva_core/sim_errors.h"

namespace norva_core::sim {

using Json = nlohmann::ordered_json;

// What a reset may carry to the simulator, as it is; a simulator that does not know them ignores
// them, and a reset without them is the plain one.
struct ResetOptions {
    std::optional<std::uint64_t> seed{};
    // A JSON object.
    std::optional<Json> options{};
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

// How a vector's simulators are reset: `seed` s gives simulator i the seed s + i, `seeds` one
// each; `options` go to all of them.
struct VectorReset {
    std::optional<std::uint64_t> seed{};
    // One seed each; an empty list is a list of the wrong length, not none.
    std::optional<std::vector<std::uint64_t>> seeds{};
    std::optional<Json> options{};
};

// Whether a step's result ends its episode. Never throws: a flag that is not a boolean counts as
// not set (the local worker refuses such answers; other sources are checked where they arrive).
inline bool episode_ended(const Json& result) {
    auto flag = [&](const char* name) {
        auto found = result.find(name);
        return found != result.end() && *found == true;
    };
    return result.is_object() && (flag("terminated") || flag("truncated"));
}

// What one simulator of a vector answered: its result, or why it has none. One slot failing
// leaves the others as they were.
struct SlotAnswer {
    Json result;
    std::optional<SimulatorError> error;
};

// Throws std::invalid_argument unless there is one action, or one seed, per simulator of a
// vector of `simulators`.
void check_action_count(std::size_t actions, std::size_t simulators);
void check_seed_count(std::size_t seeds, std::size_t simulators);

// N sessions of one simulator, made together and stepped together: one call carries N actions
// and gives N answers in the same order. With autoreset, a step that ends a simulator's episode
// resets it in the same call: its slot's observation is the new episode's first and its info
// holds "final_observation" and "final_info" of the episode that ended.
class SimulatorVector {
  public:
    virtual ~SimulatorVector() = default;
    virtual std::size_t size() const = 0;
    virtual void make(const std::string& env_id, const Json& env_init) = 0;
    // The spaces of its first simulator, which all share.
    virtual Json sensor_space() = 0;
    virtual Json action_space() = 0;
    virtual std::vector<SlotAnswer> reset(const VectorReset& reset) = 0;
    virtual std::vector<SlotAnswer> step(std::span<const Json> actions) = 0;
    virtual void close() = 0;
};

}  // namespace norva_core::sim
