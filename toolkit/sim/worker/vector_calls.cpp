#include "sim/worker/vector_calls.h"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace norva_core::sim::vector_calls {
namespace {

// Each process of the call once, with the slots it holds, in the order of their first slots.
std::vector<Member> members_of(std::span<const Environment> slots) {
    std::vector<Member> members;
    std::unordered_map<WorkerProcess*, std::size_t> batched;
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        const auto& environment = slots[slot];
        if (environment.process == nullptr) {
            continue;
        }
        if (!environment.instance) {
            members.push_back({environment.process, false, {slot}, {}});
            continue;
        }
        auto [entry, added] = batched.try_emplace(environment.process, members.size());
        if (added) {
            members.push_back({environment.process, true, {}, {}});
        }
        members[entry->second].slots.push_back(slot);
        members[entry->second].instances.push_back(*environment.instance);
    }
    return members;
}

// Gives every slot of the member its part of the answer that has arrived.
void take_answer(const Member& member, bool each, std::vector<SlotAnswer>& answers) {
    if (each && member.batched) {
        auto taken = member.process->receive_each();
        for (std::size_t k = 0; k < member.slots.size(); ++k) {
            answers[member.slots[k]] = std::move(taken[k]);
        }
        return;
    }
    auto result = member.process->receive();
    for (std::size_t k = 0; k + 1 < member.slots.size(); ++k) {
        answers[member.slots[k]].result = result;
    }
    answers[member.slots.back()].result = std::move(result);
}

}  // namespace

std::vector<SlotAnswer> gather(std::span<const Environment> slots, const Send& send, bool each) {
    std::vector<SlotAnswer> answers(slots.size());
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (slots[slot].process == nullptr) {
            answers[slot].error =
                SimulatorError(SimulatorError::Kind::failed,
                               "this simulator has ended; reset the vector to start it anew");
        }
    }
    auto members = members_of(slots);
    auto fail = [&](const Member& member, const SimulatorError& error) {
        for (auto slot : member.slots) {
            answers[slot].error = error;
        }
    };
    std::vector<const Member*> waiting;
    for (const auto& member : members) {
        try {
            send(*member.process, member);
            waiting.push_back(&member);
        } catch (const SimulatorError& error) {
            fail(member, error);
        }
    }
    // Every process is tried at first; after that only those whose pipe is ready, so that a
    // wake for one answer costs one read, not N.
    std::vector<pollfd> ready;
    for (bool first = true; !waiting.empty(); first = false) {
        std::vector<const Member*> still;
        std::vector<pollfd> awaited;
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            const auto& member = *waiting[k];
            auto& process = *member.process;
            try {
                if ((first || ready[k].revents != 0) && process.advance()) {
                    take_answer(member, each, answers);
                    continue;
                }
                process.check_waiting();
                still.push_back(&member);
                awaited.push_back(process.awaited());
            } catch (const SimulatorError& error) {
                fail(member, error);
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

std::vector<SlotAnswer> make_all(std::span<const Environment> slots, const std::string& env_id,
                                 const Json& env_init) {
    return gather(
        slots,
        [&](WorkerProcess& process, const Member& member) {
            if (member.batched) {
                process.send_make_batched(env_id, env_init, member.slots.size());
            } else {
                process.send_make(env_id, env_init);
            }
        },
        false);
}

std::vector<std::optional<std::uint64_t>> seeds_of(const VectorReset& reset, std::size_t count) {
    std::vector<std::optional<std::uint64_t>> seeds(count);
    if (reset.seed && reset.seeds) {
        throw std::invalid_argument("give either one seed or a list of seeds, not both");
    }
    if (reset.seeds) {
        check_seed_count(reset.seeds->size(), count);
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

std::vector<SlotAnswer> reset_all(std::span<const Environment> slots, const VectorReset& reset) {
    auto seeds = seeds_of(reset, slots.size());
    return gather(
        slots,
        [&](WorkerProcess& process, const Member& member) {
            if (!member.batched) {
                process.send_reset({seeds[member.slots.front()], reset.options});
                return;
            }
            std::vector<std::optional<std::uint64_t>> listed;
            for (auto slot : member.slots) {
                listed.push_back(seeds[slot]);
            }
            process.send_reset_each(member.instances, listed, reset.options);
        },
        true);
}

namespace {

std::vector<SlotAnswer> step_each(std::span<const Environment> slots, std::span<const Json> actions,
                                  bool autoreset) {
    std::vector<const Json*> listed;
    auto answers = gather(
        slots,
        [&](WorkerProcess& process, const Member& member) {
            if (!member.batched) {
                process.send_step(actions[member.slots.front()]);
                return;
            }
            listed.clear();
            for (auto slot : member.slots) {
                listed.push_back(&actions[slot]);
            }
            process.send_step_each(member.instances, listed);
        },
        true);
    if (autoreset) {
        reset_ended(slots, answers);
    }
    return answers;
}

}  // namespace

std::vector<SlotAnswer> step_all(std::span<const Environment> slots, std::span<const Json> actions,
                                 bool autoreset, const std::vector<bool>& renewing) {
    if (std::find(renewing.begin(), renewing.end(), true) == renewing.end()) {
        return step_each(slots, actions, autoreset);
    }
    std::vector<bool> stepping(slots.size());
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        stepping[slot] = !renewing[slot];
    }
    auto answers = step_each(chosen(slots, stepping), actions, autoreset);
    auto renewed = reset_for_step(chosen(slots, renewing));
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (renewing[slot]) {
            answers[slot] = std::move(renewed[slot]);
        }
    }
    return answers;
}

std::vector<SlotAnswer> reset_for_step(std::span<const Environment> slots) {
    auto answers = reset_all(slots, {});
    for (auto& answer : answers) {
        if (answer.error) {
            continue;
        }
        auto& reset = answer.result;
        Json info = reset.contains("info") ? std::move(reset.at("info")) : Json::object();
        answer.result = Json{{"observation", std::move(reset.at("observation"))},
                             {"reward", 0},
                             {"terminated", false},
                             {"truncated", false},
                             {"info", std::move(info)}};
    }
    return answers;
}

void reset_ended(std::span<const Environment> slots, std::vector<SlotAnswer>& answers) {
    std::vector<bool> ended(slots.size(), false);
    bool any = false;
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        ended[slot] = !answers[slot].error && episode_ended(answers[slot].result);
        any = any || ended[slot];
    }
    if (!any) {
        return;
    }
    auto resets = reset_all(chosen(slots, ended), {});
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (!ended[slot]) {
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
}

void close_all(std::span<const Environment> slots) {
    std::vector<Environment> live(slots.begin(), slots.end());
    for (auto& environment : live) {
        // One still stepping (a vector with a batch size) could not tell the goodbye's answer
        // from its step's: it is ended with the rest instead.
        if (environment.process != nullptr &&
            (environment.process->ended() || environment.process->awaiting_answer())) {
            environment.process = nullptr;
        }
    }
    gather(
        live, [](WorkerProcess& process, const Member&) { process.send_close(); }, false);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto* process : processes_of(live)) {
        while (!process->exited() && std::chrono::steady_clock::now() < until) {
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

std::vector<Environment> chosen(std::span<const Environment> slots,
                                const std::vector<bool>& chosen) {
    std::vector<Environment> picked(slots.size());
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        if (chosen[slot]) {
            picked[slot] = slots[slot];
        }
    }
    return picked;
}

std::vector<WorkerProcess*> processes_of(std::span<const Environment> slots) {
    std::vector<WorkerProcess*> processes;
    for (const auto& member : members_of(slots)) {
        processes.push_back(member.process);
    }
    return processes;
}

}  // namespace norva_core::sim::vector_calls
