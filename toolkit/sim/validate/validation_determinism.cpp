#include <fmt/format.h>

#include "norva_core/interrupt.h"
#include "sim/validate/validation_run.h"

namespace norva_core::sim::validation {
namespace {

const std::string CHECK = "determinism";

// Names the first field in which two answers differ, with both values.
std::optional<std::string> difference(const Json& first, const Json& second) {
    for (const char* field : {"observation", "reward", "terminated", "truncated"}) {
        if (first.contains(field) != second.contains(field) ||
            (first.contains(field) && first.at(field) != second.at(field))) {
            return fmt::format("the {} is {} in one and {} in the other", field,
                               shown(first.value(field, Json())),
                               shown(second.value(field, Json())));
        }
    }
    return std::nullopt;
}

}  // namespace

void check_determinism(Run& run, const Opener& open, const Spaces& spaces,
                       const ValidationOptions& options) {
    run.ran(CHECK);
    auto first = open();
    auto second = open();
    auto both = [&](auto&& call) {
        return std::pair(run.call(CHECK, [&] { return call(*first.simulator); }),
                         run.call(CHECK, [&] { return call(*second.simulator); }));
    };
    // Making them was checked already; a server that will not hold two sessions at once
    // (--max-sessions 1) leaves this check undone, which is no fault of the simulator.
    try {
        first.simulator->make("validation", Json::object());
        second.simulator->make("validation", Json::object());
    } catch (const SimulatorError& failure) {
        run.warning(CHECK, std::string("not checked: two simulators to compare could not be made "
                                       "(") +
                               failure.what() + ")");
        throw Run::Stop{};
    }
    auto compare = [&](const std::pair<Json, Json>& answers, const std::string& when) {
        if (auto differs = difference(answers.first, answers.second)) {
            run.warning(CHECK, fmt::format("two simulators reset with seed {} and given the same "
                                           "actions differ at {}: {}; a run cannot be repeated",
                                           options.seed, when, *differs));
            throw Run::Stop{};
        }
    };
    compare(both([&](Simulator& simulator) {
                return simulator.reset_with({options.seed, {}});
            }),
            "the reset");
    ActionSequence actions(spaces.action, options.seed);
    for (int number = 1; number <= options.steps; ++number) {
        interrupt::throw_if_pending();
        auto action = actions.next();
        auto answers = both([&](Simulator& simulator) { return simulator.step(action); });
        compare(answers, fmt::format("step {}", number));
        if (episode_ended(answers.first)) {
            compare(both([](Simulator& simulator) { return simulator.reset(); }),
                    fmt::format("the reset after step {}", number));
        }
    }
    both([](Simulator& simulator) {
        simulator.close();
        return 0;
    });
}

}  // namespace norva_core::sim::validation
