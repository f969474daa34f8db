#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <regex>

#include "norva_core/interrupt.h"
#include "norva_core/sim_validator_util.h"
#include "norva_core/text_forms.h"
#include "sim/common/wire_json.h"
#include "sim/space/space_precision.h"
#include "sim/space/space_sanity.h"
#include "sim/target.h"
#include "sim/validate/validation_run.h"

namespace norva_core::sim::validation {

constexpr std::size_t SHOWN_VALUE = 120;

std::string shown(const Json& value) {
    auto text = wire_json::dump(value);
    return text.size() <= SHOWN_VALUE ? text : text.substr(0, SHOWN_VALUE) + "...";
}

std::string Run::failure_text(const SimulatorError& failure) {
    if (failure.kind() == SimulatorError::Kind::answered) {
        return std::string("the simulator reported an error: ") + failure.what();
    }
    return failure.what();
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr double SLOW_STEP_MS = 50.0;
// The actions quoted when a step fails: the last ones of the episode.
constexpr std::size_t QUOTED_ACTIONS = 8;

void check_manifest(Run& run, const Manifest& manifest) {
    run.ran("manifest");
    if (manifest.description.empty()) {
        run.warning("manifest",
                    "the manifest has no description; add one, the platform shows it to users");
    }
    for (const auto& unknown : manifest.unknown_keys) {
        run.warning("manifest",
                    "the key '" + quoted_value(unknown.key) + "' is not one norva knows" +
                        (unknown.resembles ? "; did you mean '" + *unknown.resembles + "'?"
                                           : "; norva reads name, description, type, version "
                                             "and command"));
    }
    static const std::regex numeric_version(R"(\d+(\.\d+)*)");
    if (!std::regex_match(manifest.version, numeric_version)) {
        run.warning("manifest", "the version '" + quoted_value(manifest.version) +
                                    "' is not made of numbers and dots (like 1.2.0); listings "
                                    "sort such versions last");
    }
}

Space space_of(Run& run, const std::string& check, const Json& description, SpaceRole role) {
    run.ran(check);
    try {
        auto space = Space::from_json(description);
        for (const auto& remark : space_remarks(space, role)) {
            (remark.is_error ? run.error(check, remark.message)
                             : run.warning(check, remark.message));
        }
        return space;
    } catch (const std::invalid_argument& error) {
        run.fatal(check, std::string("the space is not well formed: ") + error.what());
    }
}

// What ends a finding's message, made only for a finding.
using Context = std::function<std::string()>;

// `when` starts the message, e.g. "step 3: "; empty for the first reset. `context` ends it.
void check_observation(
    Run& run, const std::string& check, const std::string& when, const Space& sensor_space,
    const Json& result, const Context& context = [] { return std::string(); }) {
    if (run.found(check)) {
        return;
    }
    if (auto wrong = sensor_space.mismatch(result.at("observation"), "observation")) {
        // The same fault in every observation is one finding, where it first showed.
        if (run.found_with(*wrong)) {
            return;
        }
        run.error(check, fmt::format("{}the observation is not inside the sensor space: {}{}", when,
                                     *wrong, context()));
        return;
    }
    if (result.contains("info") && !result.at("info").is_object()) {
        run.error(check, fmt::format("{}\"info\" must be an object, not {}{}", when,
                                     shown(result.at("info")), context()));
    }
}

// A float32 box answered in float64 gives the trainer other numbers than the simulator
// computed; one finding, where it first showed (`when` starts it: "the reset: ", "step 3: ").
void check_precision(Run& run, const std::string& when, const Space& sensor_space,
                     const Json& result) {
    if (run.found("precision")) {
        return;
    }
    if (auto inexact = first_inexact_value(sensor_space, result.at("observation"), "observation")) {
        run.warning("precision",
                    fmt::format("{}{} is {}, which a {} cannot hold: a trainer gets {}. Answer "
                                "the values rounded to {} (as numpy's {} gives them) or declare "
                                "the box's dtype float64",
                                when, inexact->place, text_forms::float_repr(inexact->value),
                                inexact->dtype, text_forms::float_repr(inexact->held),
                                inexact->dtype, inexact->dtype));
    }
}

// The reset an episode began with, which with its actions reproduces any step of it.
struct EpisodeStart {
    std::optional<std::uint64_t> seed;
    std::uint64_t run_seed = 0;
    // How many episodes ended before it.
    int ended = 0;

    std::string text() const {
        if (seed) {
            return fmt::format("a reset with seed {}", *seed);
        }
        return fmt::format("a reset without a seed, {} {} into a run begun with seed {},", ended,
                           ended == 1 ? "episode" : "episodes", run_seed);
    }
};

// What led to a step: the reset of its episode and its actions, the last few of them.
std::string step_context(const EpisodeStart& start, const std::vector<Json>& episode) {
    Json quoted = Json::array();
    auto first = episode.size() > QUOTED_ACTIONS ? episode.size() - QUOTED_ACTIONS : 0;
    for (auto i = first; i < episode.size(); ++i) {
        quoted.push_back(episode[i]);
    }
    return fmt::format(" (after {} and {} {})", start.text(),
                       first > 0 ? fmt::format("the last {} of its {} actions",
                                               episode.size() - first, episode.size())
                                 : std::string("the actions"),
                       text_forms::excerpt(wire_json::dump(quoted)));
}

void check_step_result(Run& run, int number, const Space& sensor_space, const Json& result,
                       const Context& context) {
    auto when = fmt::format("step {}: ", number);
    check_observation(run, "step", when, sensor_space, result, context);
    if (run.found("step")) {
        return;
    }
    const auto& reward = result.at("reward");
    if (!reward.is_number()) {
        run.error("step",
                  fmt::format("{}the reward {} is not a number{}", when, shown(reward), context()));
    } else if (!std::isfinite(reward.get<double>())) {
        run.error("step", fmt::format("{}the reward is {}; rewards must be finite numbers{}", when,
                                      text_forms::float_repr(reward.get<double>()), context()));
    }
    for (const char* flag : {"terminated", "truncated"}) {
        if (!run.found("step") && !result.at(flag).is_boolean()) {
            run.error("step", fmt::format("{}\"{}\" must be true or false, not {}{}", when, flag,
                                          shown(result.at(flag)), context()));
        }
    }
}

// Makes the environment, reads its spaces, resets it with the seed and takes the steps: the
// checks every other group builds on. Gives the spaces when the simulator stepped throughout.
std::optional<Spaces> check_simulator(Run& run, Simulator& simulator,
                                      const ValidationOptions& options) {
    run.call("make", [&] { simulator.make("validation", Json::object()); });
    run.ran("make");
    auto sensor_space = space_of(run, "sensor_space",
                                 run.call("sensor_space", [&] { return simulator.sensor_space(); }),
                                 SpaceRole::sensor);
    auto action_space = space_of(run, "action_space",
                                 run.call("action_space", [&] { return simulator.action_space(); }),
                                 SpaceRole::action);

    run.ran("reset");
    auto first = run.call("reset", [&] { return simulator.reset_with({options.seed, {}}); });
    check_observation(run, "reset", "", sensor_space, first);

    run.ran("step");
    run.ran("precision");
    check_precision(run, "the reset: ", sensor_space, first);
    bool ended_once = false;
    std::vector<Json> episode;
    EpisodeStart start{options.seed, options.seed, 0};
    ActionSequence actions(action_space, options.seed);
    std::chrono::duration<double, std::milli> stepping{0};
    auto until = Clock::now() + options.budget.value_or(std::chrono::milliseconds(0));
    int episodes = 0;
    auto going_on = [&](int number) {
        return options.budget
                   ? episodes < sim_validator_util::EPISODE_BUDGET && Clock::now() < until
                   : number <= options.steps;
    };
    int taken = 0;
    for (int number = 1; going_on(number); ++number) {
        taken = number;
        interrupt::throw_if_pending();
        episode.push_back(actions.next());
        auto started = Clock::now();
        auto context = [&] { return step_context(start, episode); };
        auto result = run.call(
            "step", [&] { return simulator.step(episode.back()); }, context);
        stepping += Clock::now() - started;
        check_step_result(run, number, sensor_space, result, context);
        check_precision(run, fmt::format("step {}: ", number), sensor_space, result);
        if (result.at("terminated").is_boolean() && result.at("truncated").is_boolean() &&
            episode_ended(result)) {
            ended_once = true;
            episode.clear();
            ++episodes;
            // A long run starts each episode from another seed, as training does.
            start = {options.budget
                         ? std::optional(options.seed + static_cast<std::uint64_t>(episodes))
                         : std::nullopt,
                     options.seed, episodes};
            run.ran("episode");
            auto next = run.call("episode", [&] {
                return start.seed ? simulator.reset_with({start.seed, {}}) : simulator.reset();
            });
            check_observation(run, "episode", fmt::format("reset after step {}: ", number),
                              sensor_space, next);
            check_precision(run, fmt::format("reset after step {}: ", number), sensor_space, next);
        }
    }
    if (!ended_once) {
        run.warning("episode", fmt::format("no episode ended within {} steps, so reset after the "
                                           "end of an episode was not checked (--steps takes "
                                           "more)",
                                           taken));
    }
    run.ran("timing");
    double average = stepping.count() / std::max(taken, 1);
    if (average > SLOW_STEP_MS) {
        run.warning("timing", fmt::format("a step takes {:.1f} ms on average; training needs many "
                                          "steps, aim for less than {:.0f} ms",
                                          average, SLOW_STEP_MS));
    }
    run.call("close", [&] { simulator.close(); });
    return Spaces{std::move(sensor_space), std::move(action_space)};
}

// Helpers a simulator leaves running would outlive every session a server gives it, one more
// for each; norva ends them, but the simulator should.
void check_leftovers(Run& run, const WorkerProcess& process) {
    run.ran("leftovers");
    if (auto count = process.leftovers()) {
        run.error(
            "leftovers",
            fmt::format("{} {} the simulator started still ran after it closed; norva ended "
                        "{}. End the processes a simulator starts when it is asked to close",
                        count, count == 1 ? "process" : "processes", count == 1 ? "it" : "them"));
    }
}

Opener opener_of(const std::string& target, const std::string& protocol) {
    return [target, protocol] {
        auto opened = open_target(target, protocol);
        return Opened{std::move(opened.simulator), opened.process};
    };
}

}  // namespace
}  // namespace norva_core::sim::validation

namespace norva_core::sim_validator_util {

Validation validate(const std::string& target, const std::string& protocol,
                    const ValidationOptions& options) {
    using namespace sim::validation;
    Run run;
    run_group([&] {
        sim::Target opened;
        try {
            opened = sim::open_target(target, protocol);
        } catch (const sim::ManifestError& error) {
            run.fatal("manifest", error.what());
        } catch (const sim::SimulatorError& error) {
            run.fatal("start", error.what());
        }
        if (opened.manifest) {
            check_manifest(run, *opened.manifest);
        }
        std::optional<Spaces> spaces;
        run_group([&] { spaces = check_simulator(run, *opened.simulator, options); });
        if (spaces && opened.process) {
            check_leftovers(run, *opened.process);
        }
        opened.simulator.reset();
        // The groups below start simulators of their own, and need one that steps.
        if (!spaces) {
            return;
        }
        auto open = opener_of(target, protocol);
        run_group([&] { check_determinism(run, open, *spaces, options); });
        // Environments that differ even alone cannot be told apart from ones that disturb
        // each other.
        if (opened.manifest && opened.manifest->instances > 1 && !run.found("determinism")) {
            run_group(
                [&] { check_batched(run, open, opened.manifest->instances, *spaces, options); });
        }
        if (opened.manifest) {
            run_group([&] { check_bad_actions(run, open, *spaces, options); });
            run_group([&] { check_resources(run, open, *spaces, options); });
        }
    });
    bool success = std::none_of(run.issues.begin(), run.issues.end(), [&](const Issue& issue) {
        return issue.severity == Severity::error || options.strict;
    });
    return {success, std::move(run.issues), std::move(run.checks)};
}

}  // namespace norva_core::sim_validator_util
