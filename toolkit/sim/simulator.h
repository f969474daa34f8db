#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace norva_core::sim {

using Json = nlohmann::ordered_json;

// A simulator that could not do what was asked.
class SimulatorError : public std::runtime_error {
  public:
    enum class Kind {
        // The simulator answered with an error of its own; it can go on.
        answered,
        // It ended, broke the protocol or could not be reached; it cannot go on.
        failed,
        // It gave no answer within the time limit.
        timed_out,
        // Nothing answered at its address.
        unreachable,
    };
    SimulatorError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

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
