#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/common/simulator.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

// The most simulators one vector may hold.
inline constexpr std::size_t MAX_VECTOR_SIZE = 1024;

// One environment of a vector: the simulator process it lives in and, when that process holds
// several (a batched simulator), its place among them. Without a process the slot takes no part
// in a call and answers that its simulator has ended.
struct Environment {
    WorkerProcess* process = nullptr;
    std::optional<std::size_t> instance{};
};

// Calls many simulators side by side from one thread: every request is written first, then the
// answers are taken as they arrive, with one poll over all the pipes, so the simulators work at
// the same time. A process holding several environments of the call gets one request listing
// them and gives one answer for all. A slot whose simulator fails, or is not there, holds an
// error and leaves the others undisturbed; each answer keeps the checks and the time limit of a
// single call.
namespace vector_calls {

// The slots of one call that one process holds, with their places in it when it is batched.
struct Member {
    WorkerProcess* process;
    bool batched;
    std::vector<std::size_t> slots;
    std::vector<std::size_t> instances;
};

using Send = std::function<void(WorkerProcess& process, const Member& member)>;
// `each`: a batched process answers for each environment listed (resets and steps), not once
// for all of them (make and close).
std::vector<SlotAnswer> gather(std::span<const Environment> slots, const Send& send, bool each);

std::vector<SlotAnswer> make_all(std::span<const Environment> slots, const std::string& env_id,
                                 const Json& env_init);

// The seed each of `count` simulators is reset with; throws std::invalid_argument for a list of
// seeds of another length, for both a seed and a list, and for a seed whose last sum overflows.
std::vector<std::optional<std::uint64_t>> seeds_of(const VectorReset& reset, std::size_t count);

std::vector<SlotAnswer> reset_all(std::span<const Environment> slots, const VectorReset& reset);

// Takes one action per slot, as the vector's entry checked (sim::check_action_count). With
// autoreset, the ended episodes are reset within the call: one reset a process, listing its
// ended environments. The slots `renewing` marks (none when it is empty) take no action and
// start a new episode instead (reset_for_step).
std::vector<SlotAnswer> step_all(std::span<const Environment> slots, std::span<const Json> actions,
                                 bool autoreset, const std::vector<bool>& renewing = {});

// Starts a new episode in every slot, in place of a step: each answers its new episode's first
// observation as a step that earned nothing and ended nothing, or the reset's error.
std::vector<SlotAnswer> reset_for_step(std::span<const Environment> slots);

// Whether the environment answered with an error of its own, refusing the request. In a vector
// a refused step ends the slot's episode: a trainer cannot retry one slot's action.
inline bool refused(const SlotAnswer& answer) {
    return answer.error && answer.error->kind() == SimulatorError::Kind::answered;
}

// Gymnasium's same-step autoreset of the answered slots whose episode ended: one reset a
// process, listing its ended environments; each answer's observation and info become the new
// episode's, its info keeping the ended episode's last observation and info.
void reset_ended(std::span<const Environment> slots, std::vector<SlotAnswer>& answers);

// Says goodbye to every simulator at once and gives them a moment to end; what the caller then
// drops is ended with its group.
void close_all(std::span<const Environment> slots);

// The first failed slot as an error naming its place; nothing when all answered.
std::optional<SimulatorError> first_failure(const std::vector<SlotAnswer>& answers);

// The slots `chosen` marks, the others without a process.
std::vector<Environment> chosen(std::span<const Environment> slots,
                                const std::vector<bool>& chosen);

// The processes of the slots, each once.
std::vector<WorkerProcess*> processes_of(std::span<const Environment> slots);

}  // namespace vector_calls
}  // namespace norva_core::sim
