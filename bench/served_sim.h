#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "norva_core/process.h"

namespace norva_bench {

// `norva sim run` of the test simulator on a free port, for as long as the object lives.
class ServedSim {
  public:
    // `instances`: environments a process of the test simulator holds (batched above 1).
    explicit ServedSim(const std::string& protocol, std::size_t instances = 1);
    ServedSim(const std::string& protocol, const std::filesystem::path& folder);
    ~ServedSim();
    ServedSim(const ServedSim&) = delete;
    ServedSim& operator=(const ServedSim&) = delete;

    int port() const { return port_; }
    // Stops it as Ctrl-C does and waits until it has ended.
    void stop();
    pid_t pid() const { return server_.pid(); }

  private:
    int port_;
    norva_core::process::Child server_;
};

// The test simulator's folder, written once for the whole run; batched with `instances` above 1.
const std::filesystem::path& test_sim_folder(std::size_t instances = 1);

// A sim of python_env.py's environment class served by norva_sim.worker, `instances` of it a
// process.
std::filesystem::path python_env_folder(std::size_t instances);

}  // namespace norva_bench
