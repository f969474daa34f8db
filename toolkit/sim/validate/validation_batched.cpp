#include <fmt/format.h>

#include "norva_core/interrupt.h"
#include "sim/validate/validation_run.h"
#include "sim/worker/worker_process.h"

// A process holding several environments must answer for each as if it were alone: the same
// trajectory from the same seed beside others, an error of one that leaves the rest as they
// were, and a reset of some that leaves the others' episodes where they stood. Every environment
// of the batched process is compared with a simulator of its own, reset with its seed and given
// its actions; environment 0 is given an action no simulator takes at the second step, and
// environment 1 is reset alone before the fourth.
namespace norva_core::sim::validation {
namespace {

const std::string BATCH = "batch";
const std::string INDEPENDENCE = "independence";
const std::string ERRORS = "batch-errors";
const std::string PARTIAL_RESET = "partial-reset";

constexpr std::size_t MOST_COMPARED = 4;
constexpr int REFUSED_AT = 2;
constexpr int RESET_AT = 4;

// What a simulator alone answered from its seed: the reset, then each step until its episode
// ended.
struct Trajectory {
    Json reset;
    std::vector<Json> steps;
};

Trajectory alone(Run& run, const Opener& open, std::uint64_t seed,
                 const std::vector<Json>& actions) {
    auto opened = open();
    auto& simulator = *opened.simulator;
    Trajectory trajectory;
    run.call(INDEPENDENCE, [&] { simulator.make("validation", Json::object()); });
    trajectory.reset = run.call(INDEPENDENCE, [&] { return simulator.reset_with({seed, {}}); });
    for (const auto& action : actions) {
        interrupt::throw_if_pending();
        trajectory.steps.push_back(run.call(INDEPENDENCE, [&] { return simulator.step(action); }));
        if (episode_ended(trajectory.steps.back())) {
            break;
        }
    }
    run.call(INDEPENDENCE, [&] { simulator.close(); });
    return trajectory;
}

// The first field in which an answer differs from what the simulator gave alone.
std::optional<std::string> difference(const Json& beside, const Json& by_itself) {
    for (const char* field : {"observation", "reward", "terminated", "truncated"}) {
        auto here = beside.value(field, Json());
        auto there = by_itself.value(field, Json());
        if (here != there) {
            return fmt::format("the {} is {} beside the others and {} alone", field, shown(here),
                               shown(there));
        }
    }
    return std::nullopt;
}

// One environment of the batched process: how far it is along its trajectory, and whether it is
// still compared.
struct Place {
    std::size_t step = 0;
    bool compared = true;
    // Its episode ended: it is reset, unseeded, before it steps again, and no longer compared.
    bool ended = false;
};

class BatchedRun {
  public:
    BatchedRun(Run& run, WorkerProcess& process, std::size_t count, std::uint64_t seed)
        : run_(run), process_(process), count_(count), seed_(seed), places_(count) {}

    void make() {
        run_.call(BATCH, [&] {
            process_.send_make_batched("validation", Json::object(), count_);
            process_.await_answer();
            return process_.receive();
        });
    }

    // A reset of the listed environments with their seeds; one answer each.
    std::vector<SlotAnswer> reset(const std::vector<std::size_t>& listed,
                                  const std::vector<std::optional<std::uint64_t>>& seeds,
                                  const std::string& check) {
        return run_.call(check, [&] {
            process_.send_reset_each(listed, seeds, std::nullopt);
            process_.await_answer();
            return process_.receive_each();
        });
    }

    // A step of every environment; throws SimulatorError as the process does.
    std::vector<SlotAnswer> step(const std::vector<const Json*>& actions) {
        std::vector<std::size_t> all(count_);
        for (std::size_t k = 0; k < count_; ++k) {
            all[k] = k;
        }
        process_.send_step_each(all, actions);
        process_.await_answer();
        return process_.receive_each();
    }

    std::string environment(std::size_t index) const {
        return fmt::format("environment {} of {}", index, count_);
    }

    std::vector<Place>& places() { return places_; }
    std::size_t count() const { return count_; }
    std::uint64_t seed() const { return seed_; }

  private:
    Run& run_;
    WorkerProcess& process_;
    std::size_t count_;
    std::uint64_t seed_;
    std::vector<Place> places_;
};

// The check a difference at this point of the run belongs to: what happened last beside it.
const std::string& check_at(int number, std::size_t index) {
    if (number >= RESET_AT && index != 1) {
        return PARTIAL_RESET;
    }
    if (number >= REFUSED_AT && index != 0) {
        return ERRORS;
    }
    return INDEPENDENCE;
}

std::string what_came_before(int number, std::size_t index) {
    if (number >= RESET_AT && index != 1) {
        return fmt::format(", after environment 1 alone was reset before step {}", RESET_AT);
    }
    if (number >= REFUSED_AT && index != 0) {
        return fmt::format(", after environment 0's action was refused at step {}", REFUSED_AT);
    }
    return "";
}

}  // namespace

void check_batched(Run& run, const Opener& open, std::size_t instances, const Spaces& spaces,
                   const ValidationOptions& options) {
    run.ran(BATCH);
    auto count = std::min(instances, MOST_COMPARED);
    int steps = std::max(options.steps, RESET_AT + 2);
    std::vector<std::vector<Json>> actions(count);
    for (std::size_t index = 0; index < count; ++index) {
        ActionSequence drawn(spaces.action, options.seed + index);
        for (int number = 0; number < steps; ++number) {
            actions[index].push_back(drawn.next());
        }
    }
    auto opened = open();
    if (opened.process == nullptr) {
        return;
    }
    BatchedRun batched(run, *opened.process, count, options.seed);
    batched.make();
    std::vector<std::size_t> all;
    std::vector<std::optional<std::uint64_t>> seeds;
    for (std::size_t index = 0; index < count; ++index) {
        all.push_back(index);
        seeds.push_back(options.seed + index);
    }
    auto resets = batched.reset(all, seeds, BATCH);

    run.ran(INDEPENDENCE);
    run.ran(ERRORS);
    run.ran(PARTIAL_RESET);
    std::vector<Trajectory> by_itself;
    for (std::size_t index = 0; index < count; ++index) {
        by_itself.push_back(alone(run, open, options.seed + index, actions[index]));
        if (resets[index].error) {
            run.fatal(BATCH, fmt::format("{} refused its reset with seed {}: {}",
                                         batched.environment(index), options.seed + index,
                                         resets[index].error->what()));
        }
        if (auto differs = difference(resets[index].result, by_itself[index].reset)) {
            run.fatal(INDEPENDENCE,
                      fmt::format("{}, reset with seed {}, differs from a simulator "
                                  "alone: {}",
                                  batched.environment(index), options.seed + index, *differs));
        }
    }

    const Json refused = "an action no simulator takes";
    auto& places = batched.places();
    for (int number = 1; number <= steps; ++number) {
        interrupt::throw_if_pending();
        if (number == RESET_AT) {
            auto again = batched.reset({1}, {options.seed + 1}, PARTIAL_RESET);
            places[1] = Place{};
            if (again[0].error || difference(again[0].result, by_itself[1].reset)) {
                run.fatal(
                    PARTIAL_RESET,
                    fmt::format("{}, reset alone with seed {}, does not start as a "
                                "simulator alone does: {}",
                                batched.environment(1), options.seed + 1,
                                again[0].error ? again[0].error->what()
                                               : *difference(again[0].result, by_itself[1].reset)));
            }
        }
        std::vector<std::size_t> ended;
        for (std::size_t index = 0; index < count; ++index) {
            if (places[index].ended) {
                ended.push_back(index);
            }
        }
        if (!ended.empty()) {
            batched.reset(ended, std::vector<std::optional<std::uint64_t>>(ended.size()), BATCH);
            for (auto index : ended) {
                places[index].ended = false;
            }
        }
        std::vector<const Json*> taken;
        for (std::size_t index = 0; index < count; ++index) {
            bool refuse = number == REFUSED_AT && index == 0;
            auto step = std::min(places[index].step, actions[index].size() - 1);
            taken.push_back(refuse ? &refused : &actions[index][step]);
        }
        std::vector<SlotAnswer> answers;
        try {
            answers = batched.step(taken);
        } catch (const SimulatorError& failure) {
            if (number == REFUSED_AT && failure.kind() == SimulatorError::Kind::answered) {
                run.fatal(ERRORS,
                          fmt::format("environment 0's wrong action at step {} refused the step of "
                                      "all {} ({}); answer {{\"error\": ...}} in its place of "
                                      "\"results\" and step the others",
                                      REFUSED_AT, count, failure.what()));
            }
            run.fatal(failure.kind() == SimulatorError::Kind::timed_out ? "timing"
                      : number == REFUSED_AT                            ? ERRORS
                                                                        : BATCH,
                      Run::failure_text(failure));
        }
        for (std::size_t index = 0; index < count; ++index) {
            auto& place = places[index];
            if (number == REFUSED_AT && index == 0) {
                // An action it took anyway leaves nothing to compare it with.
                place.compared = place.compared && answers[0].error.has_value();
                continue;
            }
            const auto& answer = answers[index];
            if (answer.error) {
                run.fatal(
                    check_at(number, index),
                    fmt::format("{} refused step {}: {}{}", batched.environment(index), number,
                                answer.error->what(), what_came_before(number, index)));
            }
            auto& expected = by_itself[index].steps;
            if (place.compared && place.step < expected.size()) {
                if (auto differs = difference(answer.result, expected[place.step])) {
                    run.fatal(check_at(number, index),
                              fmt::format("{} differs from a simulator alone at its step {}: "
                                          "{}{}",
                                          batched.environment(index), place.step + 1, *differs,
                                          what_came_before(number, index)));
                }
            }
            ++place.step;
            if (episode_ended(answer.result)) {
                place.ended = true;
                place.compared = false;
            }
        }
    }
    run.call(BATCH, [&] { opened.simulator->close(); });
}

}  // namespace norva_core::sim::validation
