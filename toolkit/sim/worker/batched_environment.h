#pragma once

#include <cstddef>

#include "sim/common/simulator.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

// One environment of a process that holds several, called as a session of its own: its resets
// and steps are batched calls that list it alone. The process is its vector's, and ends with it.
class BatchedEnvironment final : public Simulator {
  public:
    BatchedEnvironment(WorkerProcess& process, std::size_t instance)
        : process_(process), instance_(instance) {}

    // It was made with its vector; making it again would make all of the process's anew.
    void make(const std::string& env_id, const Json& env_init) override;
    Json sensor_space() override { return process_.sensor_space(); }
    Json action_space() override { return process_.action_space(); }
    Json reset_with(const ResetOptions& options) override;
    Json step(const Json& action) override;
    // Leaves the process to the vector's other environments.
    void close() override {}

  private:
    // Its one answer, or its error.
    Json answer();

    WorkerProcess& process_;
    std::size_t instance_;
};

}  // namespace norva_core::sim
