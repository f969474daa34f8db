#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

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
                                           const std::string& protocol);

}  // namespace norva_core::sim::server
