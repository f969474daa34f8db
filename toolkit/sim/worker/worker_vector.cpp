#include "sim/worker/worker_vector.h"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <stdexcept>

namespace norva_core::sim {
namespace vector_calls {
std::vector<SlotAnswer> gather(std::span<WorkerProcess* const> workers, const Send& send) {
    std::vector<SlotAnswer> answers(workers.size());
    std::vector<std::size_t> waiting;
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (workers[slot] == nullptr) {
            answers[slot].error =
                SimulatorError(SimulatorError::Kind::failed,
                               "this simulator has ended; reset the vector to start it anew");
            continue;
        }
        try {
            send(*workers[slot], slot);
            waiting.push_back(slot);
        } catch (const SimulatorError& error) {
            answers[slot].error = error;
        }
    }
    // Every slot is tried at first; after that only those whose pipe is ready, so that a wake
    // for one answer costs one read, not N.
    std::vector<pollfd> ready;
    for (bool first = true; !waiting.empty(); first = false) {
        std::vector<std::size_t> still;
        std::vector<pollfd> awaited;
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            auto slot = waiting[k];
            auto& worker = *workers[slot];
            try {
                if ((first || ready[k].revents != 0) && worker.advance()) {
                    answers[slot].result = worker.receive();
                    continue;
                }
                worker.check_waiting();
                still.push_back(slot);
                awaited.push_back(worker.awaited());
            } catch (const SimulatorError& error) {
                answers[slot].error = error;
            }
        }
        waiting.swap(still);
        ready.swap(awaited);
        if (!waiting.empty()) {
            // The time limits are checked at every wake; they are seconds, so a tenth is exact
            // enough.
            ::poll(ready.data(), ready.size(), 100);
        }
    }
    return answers;
}

std::vector<SlotAnswer> make_all(std::span<WorkerProcess* const> workers, const std::string& env_id,
                                 const Json& env_init) {
    return gather(workers,
                  [&](WorkerProcess& worker, std::size_t) { worker.send_make(env_id, env_init); });
}

std::vector<std::optional<std::uint64_t>> seeds_of(const VectorReset& reset, std::size_t count) {
    std::vector<std::optional<std::uint64_t>> seeds(count);
    if (reset.seed && reset.seeds) {
        throw std::invalid_argument("give either one seed or a list of seeds, not both");
    }
    if (reset.seeds) {
        if (reset.seeds->size() != count) {
            throw std::invalid_argument(fmt::format(
                "{} {} for a vector of {} simulators; give one each, or one seed for all",
                reset.seeds->size(), reset.seeds->size() == 1 ? "seed" : "seeds", count));
        }
        seeds.assign(reset.seeds->begin(), reset.seeds->end());
    } else if (reset.seed) {
        if (count > 0 && *reset.seed > std::numeric_limits<std::uint64_t>::max() - (count - 1)) {
            throw std::invalid_argument(
                fmt::format("the seed {} is too large: simulator i takes the seed plus i, and "
                            "{} simulators would pass 2^64 - 1",
                            *reset.seed, count));
        }
        for (std::size_t slot = 0; slot < count; ++slot) {
            seeds[slot] = *reset.seed + slot;
        }
    }
    return seeds;
}

std::vector<SlotAnswer> reset_all(std::span<WorkerProcess* const> workers,
                                  const VectorReset& reset) {
    auto seeds = seeds_of(reset, workers.size());
    return gather(workers, [&](WorkerProcess& worker, std::size_t slot) {
        worker.send_reset({seeds[slot], reset.options});
    });
}

void check_action_count(std::size_t actions, std::size_t simulators) {
    if (actions != simulators) {
        throw std::invalid_argument(
            fmt::format("{} {} for a vector of {} simulators; give one each", actions,
                        actions == 1 ? "action" : "actions", simulators));
    }
}

// Gymnasium's same-step autoreset: a slot whose episode ended is reset at once, its
// observation and info are the new episode's, and its info keeps the ended episode's last
// observation and info.
std::vector<SlotAnswer> step_all(std::span<WorkerProcess* const> workers,
                                 std::span<const Json> actions, bool autoreset) {
    auto answers = gather(
        workers, [&](WorkerProcess& worker, std::size_t slot) { worker.send_step(actions[slot]); });
    if (!autoreset) {
        return answers;
    }
    std::vector<WorkerProcess*> ended(workers.size(), nullptr);
    bool any = false;
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (!answers[slot].error && episode_ended(answers[slot].result)) {
            ended[slot] = workers[slot];
            any = true;
        }
    }
    if (!any) {
        return answers;
    }
    auto resets = gather(ended, [](WorkerProcess& worker, std::size_t) { worker.send_reset({}); });
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (ended[slot] == nullptr) {
            continue;
        }
        if (resets[slot].error) {
            answers[slot].error = resets[slot].error;
            continue;
        }
        auto& result = answers[slot].result;
        Json info =
            resets[slot].result.contains("info") ? resets[slot].result.at("info") : Json::object();
        if (!info.is_object()) {
            info = Json::object();
        }
        info["final_observation"] = std::move(result.at("observation"));
        info["final_info"] = result.contains("info") ? std::move(result.at("info")) : Json();
        result["observation"] = std::move(resets[slot].result.at("observation"));
        result["info"] = std::move(info);
    }
    return answers;
}

void close_all(std::span<WorkerProcess* const> workers) {
    std::vector<WorkerProcess*> live;
    for (auto* worker : workers) {
        live.push_back(worker != nullptr && !worker->ended() ? worker : nullptr);
    }
    gather(live, [](WorkerProcess& worker, std::size_t) { worker.send_close(); });
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto* worker : live) {
        while (worker != nullptr && !worker->exited() && std::chrono::steady_clock::now() < until) {
            ::usleep(5000);
        }
    }
}

std::optional<SimulatorError> first_failure(const std::vector<SlotAnswer>& answers) {
    for (std::size_t slot = 0; slot < answers.size(); ++slot) {
        if (answers[slot].error) {
            return SimulatorError(
                answers[slot].error->kind(),
                fmt::format("simulator {} of the vector: {}", slot, answers[slot].error->what()));
        }
    }
    return std::nullopt;
}

}  // namespace vector_calls

WorkerVector::WorkerVector(const std::filesystem::path& folder, const Manifest& manifest,
                           const WorkerOptions& options, std::size_t count, bool autoreset)
    : autoreset_(autoreset) {
    if (count == 0 || count > MAX_VECTOR_SIZE) {
        throw std::invalid_argument(
            fmt::format("a vector holds 1 to {} simulators, not {}", MAX_VECTOR_SIZE, count));
    }
    for (std::size_t slot = 0; slot < count; ++slot) {
        workers_.push_back(std::make_unique<WorkerProcess>(folder, manifest, options));
        slots_.push_back(workers_.back().get());
    }
}

void WorkerVector::make(const std::string& env_id, const Json& env_init) {
    if (auto failure =
            vector_calls::first_failure(vector_calls::make_all(slots_, env_id, env_init))) {
        throw *failure;
    }
}

WorkerProcess& WorkerVector::first() {
    if (workers_.empty()) {
        throw SimulatorError(SimulatorError::Kind::failed, "the vector is closed");
    }
    return *workers_.front();
}

std::vector<SlotAnswer> WorkerVector::reset(const VectorReset& reset) {
    return vector_calls::reset_all(slots_, reset);
}

std::vector<SlotAnswer> WorkerVector::step(std::span<const Json> actions) {
    vector_calls::check_action_count(actions.size(), slots_.size());
    return vector_calls::step_all(slots_, actions, autoreset_);
}

void WorkerVector::close() {
    vector_calls::close_all(slots_);
    workers_.clear();
    slots_.clear();
}

}  // namespace norva_core::sim
