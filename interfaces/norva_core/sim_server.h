#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "norva_core/session_limits.h"
#include "norva_core/sim_errors.h"

namespace norva_core::sim {

// The most sessions a server holds when the user sets no number: each starts a simulator
// process, so one for every 64 MiB of the machine's memory, and never fewer than a vector of 64
// needs; and no more than the open-file limit leaves room for, two files each.
std::size_t default_max_sessions();

// The token a server requires: the first line of `file` when one is named, else
// NORVA_SIM_TOKEN; none without either. Throws std::invalid_argument for a file that cannot be
// read, holds no token or is too large to be one.
std::optional<std::string> server_token(const std::optional<std::string>& file);

}  // namespace norva_core::sim

// Implemented in toolkit/sim/serve/sim_server.cpp. make_from_sim_path throws ManifestError for a
// folder without a readable manifest, SimulatorError when its program cannot start, and
// std::runtime_error when the address cannot be served; start() throws Interrupted when a
// signal ends serving.
namespace norva_core::sim::server {

class Server {
  public:
    virtual ~Server() = default;
    // Serves until stopped or interrupted.
    virtual void start() = 0;
    virtual void stop() = 0;
};

std::unique_ptr<Server> make_from_sim_path(const std::string& path, const std::string& host,
                                           int port, const nlohmann::ordered_json& env_init,
                                           const std::string& protocol,
                                           const ServeOptions& options = {});

}  // namespace norva_core::sim::server
