#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <regex>

#include "norva_core/interrupt.h"
#include "norva_core/sim_validator_util.h"
#include "norva_core/space.h"
#include "norva_core/text_forms.h"
#include "sim/target.h"

namespace norva_core::sim_validator_util {
namespace {

using sim::Json;
using sim::SimulatorError;
using Clock = std::chrono::steady_clock;

constexpr int STEPS = 25;
constexpr double SLOW_STEP_MS = 50.0;
constexpr std::size_t SHOWN_VALUE = 120;

std::string shown(const Json& value) {
    auto text = value.dump();
    return text.size() <= SHOWN_VALUE ? text : text.substr(0, SHOWN_VALUE) + "...";
}

// Collects findings; a fatal one ends the run, since later checks build on earlier ones.
class Run {
  public:
    struct Stop {};

    void error(const std::string& check, const std::string& message) {
        issues.push_back({Severity::error, check, message});
    }
    void warning(const std::string& check, const std::string& message) {
        issues.push_back({Severity::warning, check, message});
    }
    [[noreturn]] void fatal(const std::string& check, const std::string& message) {
        error(check, message);
        throw Stop{};
    }

    // Runs one call to the simulator; a failure is a finding of `check` and ends the run.
    template <class Call>
    auto call(const std::string& check, Call&& call_simulator) {
        try {
            return call_simulator();
        } catch (const SimulatorError& failure) {
            if (failure.kind() == SimulatorError::Kind::timed_out) {
                fatal("timing", failure.what());
            }
            if (failure.kind() == SimulatorError::Kind::answered) {
                fatal(check, std::string("the simulator reported an error: ") + failure.what());
            }
            fatal(check, failure.what());
        }
    }

    std::vector<Issue> issues;
};

void check_manifest(Run& run, const sim::Manifest& manifest) {
    if (manifest.description.empty()) {
        run.warning("manifest",
                    "the manifest has no description; add one, the platform shows it to users");
    }
    static const std::regex numeric_version(R"(\d+(\.\d+)*)");
    if (!std::regex_match(manifest.version, numeric_version)) {
        run.warning("manifest", "the version '" + manifest.version +
                                    "' is not made of numbers and dots (like 1.2.0); listings "
                                    "sort such versions last");
    }
}

Space space_of(Run& run, const std::string& check, const Json& description) {
    try {
        return Space::from_json(description);
    } catch (const std::invalid_argument& error) {
        run.fatal(check, std::string("the space is not well formed: ") + error.what());
    }
}

void check_observation(Run& run, const std::string& check, const std::string& when,
                       const Space& sensor_space, const Json& result) {
    if (!sensor_space.contains(result.at("observation"))) {
        run.fatal(check,
                  fmt::format("{}: the observation {} is not inside the sensor space {}; "
                              "observations must stay within the declared space",
                              when, shown(result.at("observation")), sensor_space.to_string()));
    }
    if (result.contains("info") && !result.at("info").is_object()) {
        run.fatal(check, fmt::format("{}: \"info\" must be an object, not {}", when,
                                     shown(result.at("info"))));
    }
}

void check_step_result(Run& run, int number, const Space& sensor_space, const Json& result) {
    auto when = fmt::format("step {}", number);
    check_observation(run, "step", when, sensor_space, result);
    const auto& reward = result.at("reward");
    if (!reward.is_number() || reward.is_boolean()) {
        run.fatal("step", fmt::format("{}: the reward {} is not a number", when, shown(reward)));
    }
    if (!std::isfinite(reward.get<double>())) {
        run.fatal("step", fmt::format("{}: the reward is {}; rewards must be finite numbers", when,
                                      text_forms::float_repr(reward.get<double>())));
    }
    for (const char* flag : {"terminated", "truncated"}) {
        if (!result.at(flag).is_boolean()) {
            run.fatal("step", fmt::format("{}: \"{}\" must be true or false, not {}", when, flag,
                                          shown(result.at(flag))));
        }
    }
}

void check_simulator(Run& run, sim::Simulator& simulator) {
    run.call("make", [&] { simulator.make("validation", Json::object()); });
    auto sensor_space = space_of(
        run, "sensor_space", run.call("sensor_space", [&] { return simulator.sensor_space(); }));
    auto action_space = space_of(
        run, "action_space", run.call("action_space", [&] { return simulator.action_space(); }));

    auto first = run.call("reset", [&] { return simulator.reset(); });
    check_observation(run, "reset", "reset", sensor_space, first);

    bool episode_ended = false;
    std::chrono::duration<double, std::milli> stepping{0};
    for (int number = 1; number <= STEPS; ++number) {
        interrupt::throw_if_pending();
        auto action = action_space.sample(static_cast<std::uint64_t>(number));
        auto started = Clock::now();
        auto result = run.call("step", [&] { return simulator.step(action); });
        stepping += Clock::now() - started;
        check_step_result(run, number, sensor_space, result);
        if (result.at("terminated").get<bool>() || result.at("truncated").get<bool>()) {
            episode_ended = true;
            auto next = run.call("episode", [&] { return simulator.reset(); });
            check_observation(run, "episode", fmt::format("reset after step {}", number),
                              sensor_space, next);
        }
    }
    if (!episode_ended) {
        run.warning("episode", fmt::format("no episode ended within {} steps, so reset after the "
                                           "end of an episode was not checked",
                                           STEPS));
    }
    double average = stepping.count() / STEPS;
    if (average > SLOW_STEP_MS) {
        run.warning("timing", fmt::format("a step takes {:.1f} ms on average; training needs many "
                                          "steps, aim for less than {:.0f} ms",
                                          average, SLOW_STEP_MS));
    }
    run.call("close", [&] { simulator.close(); });
}

}  // namespace

std::pair<bool, std::vector<Issue>> validate(const std::string& target,
                                             const std::string& protocol) {
    Run run;
    try {
        sim::Target opened;
        try {
            opened = sim::open_target(target, protocol);
        } catch (const sim::ManifestError& error) {
            run.fatal("manifest", error.what());
        } catch (const SimulatorError& error) {
            run.fatal("start", error.what());
        }
        if (opened.manifest) {
            check_manifest(run, *opened.manifest);
        }
        check_simulator(run, *opened.simulator);
    } catch (const Run::Stop&) {
        // The findings so far say why the run could not go on.
    }
    bool success = std::none_of(run.issues.begin(), run.issues.end(), [](const Issue& issue) {
        return issue.severity == Severity::error;
    });
    return {success, std::move(run.issues)};
}

}  // namespace norva_core::sim_validator_util
