#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace norva_core::docker {

// Docker said no; the message carries Docker's own words.
class DockerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Runs `docker <args>` and gives its standard output; a failure is a DockerError.
std::string run(const std::vector<std::string>& args);

// Runs `docker <args>` on the user's terminal (logs, say); a failure is a DockerError.
void run_attached(const std::vector<std::string>& args);

}  // namespace norva_core::docker
