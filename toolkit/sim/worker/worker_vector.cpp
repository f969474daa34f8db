#include "sim/worker/worker_vector.h"

#include <fmt/format.h>

#include <stdexcept>

namespace norva_core::sim {

WorkerVector::WorkerVector(const std::filesystem::path& folder, const Manifest& manifest,
                           const WorkerOptions& options, std::size_t count, bool autoreset)
    : autoreset_(autoreset) {
    if (count == 0 || count > MAX_VECTOR_SIZE) {
        throw std::invalid_argument(
            fmt::format("a vector holds 1 to {} simulators, not {}", MAX_VECTOR_SIZE, count));
    }
    reset_due_.assign(count, false);
    bool batched = manifest.instances > 1;
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!batched || slot % manifest.instances == 0) {
            processes_.push_back(std::make_unique<WorkerProcess>(folder, manifest, options));
        }
        slots_.push_back({processes_.back().get(),
                          batched ? std::optional(slot % manifest.instances) : std::nullopt});
    }
}

void WorkerVector::make(const std::string& env_id, const Json& env_init) {
    if (auto failure =
            vector_calls::first_failure(vector_calls::make_all(slots_, env_id, env_init))) {
        throw *failure;
    }
}

WorkerProcess& WorkerVector::first() {
    if (processes_.empty()) {
        throw SimulatorError(SimulatorError::Kind::failed, "the vector is closed");
    }
    return *processes_.front();
}

std::vector<SlotAnswer> WorkerVector::reset(const VectorReset& reset) {
    auto answers = vector_calls::reset_all(slots_, reset);
    note_refusals(answers);
    return answers;
}

std::vector<SlotAnswer> WorkerVector::step(std::span<const Json> actions) {
    check_action_count(actions.size(), slots_.size());
    auto answers = vector_calls::step_all(slots_, actions, autoreset_, reset_due_);
    note_refusals(answers);
    return answers;
}

void WorkerVector::note_refusals(const std::vector<SlotAnswer>& answers) {
    if (!autoreset_) {
        return;
    }
    for (std::size_t slot = 0; slot < answers.size(); ++slot) {
        reset_due_[slot] = vector_calls::refused(answers[slot]);
    }
}

void WorkerVector::close() {
    vector_calls::close_all(slots_);
    slots_.clear();
    reset_due_.clear();
    processes_.clear();
}

}  // namespace norva_core::sim
