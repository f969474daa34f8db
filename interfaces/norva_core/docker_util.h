#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// Implemented in toolkit/docker/docker_util.cpp, through the docker tool.
namespace norva_core::docker_util {

using Record = nlohmann::ordered_json;

// Docker said no, or gave what cannot be read; the message carries Docker's own words. Every
// function here throws it for such failures, and Interrupted when a signal ends the wait.
class DockerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Images named "norva/<sim>": [{"name", "last_updated"}].
std::vector<Record> sim_list_images();
// Running sim containers: [{"name", "env", "ports", "version"}].
std::vector<Record> sim_list_running();
// Starts image "norva/<name>" as a sim container; returns the container's name. A failure or an
// interrupt after the start stops the container again.
std::string sim_start(const std::string& name, bool enable_historian, bool show_output = false);
void sim_logs(const std::string& id, bool stream);
std::string start_container(const std::string& image, const std::map<std::string, int>& ports);
// Stops and removes the container; throws DockerError when Docker cannot.
void stop(const std::string& id);
// The same on a failure path: signals do not cut it short, and its own failure is let go.
void stop_quietly(const std::string& id) noexcept;
// {"name", "image", "moniker", ...}
Record get_info_container(const std::string& name);

}  // namespace norva_core::docker_util
