#pragma once

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "norva_core/process.h"
#include "norva_runner.h"

namespace norva_test {

// A real `norva sim run` of a sim folder on a port the kernel gave: started and waited for at
// construction (on another port should that one be taken meanwhile), ended as Ctrl-C ends it at
// destruction unless stopped before. Options are more arguments of `sim run`; a fixed port is
// for the tests that need one.
class ServedSim {
  public:
    ServedSim(const NorvaSandbox& sandbox, const std::string& folder,
              const std::vector<std::string>& options = {}, int fixed_port = 0);
    ~ServedSim();
    ServedSim(ServedSim&& other) noexcept;
    ServedSim& operator=(ServedSim&&) = delete;
    ServedSim(const ServedSim&) = delete;
    ServedSim& operator=(const ServedSim&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:<port>".
    std::string address() const;
    int pid() const { return server_->pid(); }

    // Ends the server with the signal and gives how it ended.
    RunResult stop(int signal = SIGINT);

  private:
    std::optional<norva_core::process::Child> server_;
    int port_ = 0;
};

// A sample of a server's metrics, scraped over HTTP from the port serving them.
double metric(int port, const std::string& name);

}  // namespace norva_test
