#pragma once

#include <string>
#include <vector>

#include "norva_core/docker_util.h"

namespace norva_core::docker {

using docker_util::DockerError;

// Runs `docker <args>` and gives its standard output; a failure is a DockerError.
std::string run(const std::vector<std::string>& args);

// Runs `docker <args>` on the user's terminal (logs, say); a failure is a DockerError.
void run_attached(const std::vector<std::string>& args);

}  // namespace norva_core::docker
