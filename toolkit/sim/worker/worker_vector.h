#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/common/manifest.h"
#include "sim/common/simulator.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

// The most simulators one vector may hold.
inline constexpr std::size_t MAX_VECTOR_SIZE = 1024;

// Calls many simulators side by side from one thread: every request is written first, then the
// answers are taken as they arrive, with one poll over all the pipes, so the simulators work at
// the same time. A null slot, or one whose simulator fails, holds an error and leaves the others
// undisturbed; each answer keeps the checks and the time limit of a single call.
namespace vector_calls {

using Send = std::function<void(WorkerProcess& worker, std::size_t slot)>;
std::vector<SlotAnswer> gather(std::span<WorkerProcess* const> workers, const Send& send);

std::vector<SlotAnswer> make_all(std::span<WorkerProcess* const> workers, const std::string& env_id,
                                 const Json& env_init);

// The seed each of `count` simulators is reset with; throws std::invalid_argument for a list of
// seeds of another length, for both a seed and a list, and for a seed whose last sum overflows.
std::vector<std::optional<std::uint64_t>> seeds_of(const VectorReset& reset, std::size_t count);

std::vector<SlotAnswer> reset_all(std::span<WorkerProcess* const> workers,
                                  const VectorReset& reset);

// Throws std::invalid_argument unless there is one action per simulator.
void check_action_count(std::size_t actions, std::size_t simulators);

// Takes one action per simulator, as the vector's entry checked (check_action_count).
std::vector<SlotAnswer> step_all(std::span<WorkerProcess* const> workers,
                                 std::span<const Json> actions, bool autoreset);

// Says goodbye to every simulator at once and gives them a moment to end; what the caller then
// drops is ended with its group.
void close_all(std::span<WorkerProcess* const> workers);

// The first failed slot as an error naming its place; nothing when all answered.
std::optional<SimulatorError> first_failure(const std::vector<SlotAnswer>& answers);

}  // namespace vector_calls

// N local simulator programs driven as one vector.
class WorkerVector final : public SimulatorVector {
  public:
    WorkerVector(const std::filesystem::path& folder, const Manifest& manifest,
                 const WorkerOptions& options, std::size_t count, bool autoreset = true);

    std::size_t size() const override { return workers_.size(); }
    // Throws the first simulator's failure, naming it, when any cannot make its environment.
    void make(const std::string& env_id, const Json& env_init) override;
    Json sensor_space() override { return first().sensor_space(); }
    Json action_space() override { return first().action_space(); }
    std::vector<SlotAnswer> reset(const VectorReset& reset) override;
    std::vector<SlotAnswer> step(std::span<const Json> actions) override;
    void close() override;

  private:
    WorkerProcess& first();

    std::vector<std::unique_ptr<WorkerProcess>> workers_;
    std::vector<WorkerProcess*> slots_;
    bool autoreset_;
};

}  // namespace norva_core::sim
