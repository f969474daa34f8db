#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/common/manifest.h"
#include "sim/common/simulator.h"
#include "sim/worker/vector_calls.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

// N local simulator environments driven as one vector: N processes, or, for a simulator whose
// manifest offers `instances` K, ceil(N / K) processes of up to K environments each. With
// autoreset, an environment that refuses a step has ended its episode, and starts a new one at
// its next step (alone, in a batched process).
class WorkerVector final : public SimulatorVector {
  public:
    WorkerVector(const std::filesystem::path& folder, const Manifest& manifest,
                 const WorkerOptions& options, std::size_t count, bool autoreset = true);

    std::size_t size() const override { return slots_.size(); }
    // Throws the first simulator's failure, naming it, when any cannot make its environment.
    void make(const std::string& env_id, const Json& env_init) override;
    Json sensor_space() override { return first().sensor_space(); }
    Json action_space() override { return first().action_space(); }
    std::vector<SlotAnswer> reset(const VectorReset& reset) override;
    std::vector<SlotAnswer> step(std::span<const Json> actions) override;
    void close() override;
    // How many processes hold its environments.
    std::size_t processes() const { return processes_.size(); }

  private:
    WorkerProcess& first();
    void note_refusals(const std::vector<SlotAnswer>& answers);

    std::vector<std::unique_ptr<WorkerProcess>> processes_;
    std::vector<Environment> slots_;
    bool autoreset_;
    // With autoreset, the slots whose environment refused its last call: reset at their next step.
    std::vector<bool> reset_due_;
};

}  // namespace norva_core::sim
