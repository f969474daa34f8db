#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "norva_core/sim_errors.h"
#include "norva_core/space.h"

// Implemented in toolkit/sim/sim_client.cpp.
namespace norva_core::sim::client {

// A session with a served sim. Every call throws SimulatorError when the sim cannot do it,
// std::invalid_argument for an address that is none, and Interrupted when a signal ends a wait.

class Client {
  public:
    virtual ~Client() = default;
    virtual void init() = 0;
    virtual Space sensor_space() = 0;
    virtual Space action_space() = 0;
    virtual void close() = 0;
};

struct MakeArgs {
    std::string run_id;
    std::string sim_id;
    std::string env_id;
    nlohmann::ordered_json env_init = nlohmann::ordered_json::object();
    std::string address;
};

std::unique_ptr<Client> make(const MakeArgs& args);

}  // namespace norva_core::sim::client
