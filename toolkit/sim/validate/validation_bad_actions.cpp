#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "norva_core/interrupt.h"
#include "sim/space/space_shape.h"
#include "sim/validate/validation_run.h"

namespace norva_core::sim::validation {
namespace {

const std::string CHECK = "bad-actions";

struct Probe {
    std::string name;
    Json action;
    // Served, such an action never reaches the simulator; other drivers may send it.
    bool malformed = true;
};

// The first box inside the space with its place in a value, depth first.
struct BoxAt {
    const Json* box = nullptr;
    std::vector<Json> path;
};

std::optional<BoxAt> first_box(const Json& space, std::vector<Json> path = {}) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        return BoxAt{&space, std::move(path)};
    }
    if (type == "dict" || type == "tuple") {
        std::size_t index = 0;
        for (const auto& [key, item] : space.at("spaces").items()) {
            auto inner = path;
            inner.push_back(type == "dict" ? Json(key) : Json(index++));
            if (auto found = first_box(item, std::move(inner))) {
                return found;
            }
        }
    }
    return std::nullopt;
}

Json& element_at(Json& value, const std::vector<Json>& path) {
    Json* at = &value;
    for (const auto& step : path) {
        at = step.is_string() ? &(*at)[step.get<std::string>()] : &(*at)[step.get<std::size_t>()];
    }
    while (at->is_array() && !at->empty()) {
        at = &at->front();
    }
    return *at;
}

// A member with its first box element replaced.
std::optional<Probe> box_probe(const Space& space, const std::string& name, bool malformed,
                               const std::function<std::optional<double>(double, double)>& make) {
    auto box = first_box(space.json());
    if (!box) {
        return std::nullopt;
    }
    auto shape = space_shape::shape_of(*box->box);
    auto low = space_shape::bounds_of(box->box->at("low"), shape);
    auto high = space_shape::bounds_of(box->box->at("high"), shape);
    if (low.empty()) {
        return std::nullopt;
    }
    auto number = make(low.front(), high.front());
    if (!number) {
        return std::nullopt;
    }
    auto action = space.sample(0);
    element_at(action, box->path) = *number;
    return Probe{name, std::move(action), malformed};
}

// One more element than the shape holds, at the top of the action.
Json wrong_shape(const Json& member) {
    if (member.is_array()) {
        auto longer = member;
        longer.push_back(member.empty() ? Json(0) : member.front());
        return longer;
    }
    if (member.is_object() && !member.empty()) {
        auto fewer = member;
        fewer.erase(fewer.begin());
        return fewer;
    }
    return Json::array({member, member});
}

std::vector<Probe> probes_for(const Space& space) {
    std::vector<Probe> probes;
    if (auto above = box_probe(space, "a box value above its high", false,
                               [](double low, double high) -> std::optional<double> {
                                   if (!std::isfinite(high) || !std::isfinite(low)) {
                                       return std::nullopt;
                                   }
                                   return high + std::max(1.0, high - low);
                               })) {
        probes.push_back(std::move(*above));
    }
    auto member = space.sample(0);
    probes.push_back({"an action of the wrong shape", wrong_shape(member)});
    probes.push_back({"an action of the wrong type", Json("not an action")});
    auto nan = std::numeric_limits<double>::quiet_NaN();
    if (auto with_nan = box_probe(space, "NaN in a box", true,
                                  [nan](double, double) { return std::optional<double>(nan); })) {
        probes.push_back(std::move(*with_nan));
    } else {
        probes.push_back({"NaN", Json(nan)});
    }
    return probes;
}

// A driver may step once more after an episode ended, before it resets: the simulator may
// refuse or go on, but must not end or hang.
void step_past_the_end(Run& run, Simulator& simulator, const Spaces& spaces,
                       const ValidationOptions& options) {
    const std::string check = "episode";
    run.call(check, [&] { return simulator.reset_with({options.seed, {}}); });
    ActionSequence actions(spaces.action, options.seed);
    for (int number = 1; number <= options.steps; ++number) {
        interrupt::throw_if_pending();
        if (episode_ended(run.call(check, [&] { return simulator.step(actions.next()); }))) {
            try {
                simulator.step(actions.next());
            } catch (const SimulatorError& failure) {
                if (failure.kind() != SimulatorError::Kind::answered) {
                    run.warning(check, std::string("a step after the episode ended, without a "
                                                   "reset, ended or hung the simulator: ") +
                                           failure.what() +
                                           "; answer such a step with an error instead");
                    throw Run::Stop{};
                }
            }
            return;
        }
    }
}

}  // namespace

void check_bad_actions(Run& run, const Opener& open, const Spaces& spaces,
                       const ValidationOptions& options) {
    run.ran(CHECK);
    std::optional<Opened> opened;
    for (const auto& probe : probes_for(spaces.action)) {
        interrupt::throw_if_pending();
        if (!opened) {
            opened = open();
            run.call(CHECK, [&] { opened->simulator->make("validation", Json::object()); });
        }
        auto& simulator = *opened->simulator;
        run.call(CHECK, [&] { return simulator.reset_with({options.seed, {}}); });
        try {
            simulator.step(probe.action);
        } catch (const SimulatorError& failure) {
            if (failure.kind() == SimulatorError::Kind::answered) {
                continue;
            }
            auto message =
                fmt::format("{} ({}) {} the simulator: {}", probe.name, shown(probe.action),
                            failure.kind() == SimulatorError::Kind::timed_out ? "hung" : "ended",
                            failure.what());
            if (probe.malformed) {
                run.warning(CHECK, message +
                                       "; served, such actions are refused before they "
                                       "reach it, but other drivers may send them");
            } else {
                run.error(CHECK, message +
                                     "; served, such an action reaches it: clip it or "
                                     "answer an error");
            }
            opened.reset();
        }
    }
    if (!opened) {
        opened = open();
        run.call(CHECK, [&] { opened->simulator->make("validation", Json::object()); });
    }
    step_past_the_end(run, *opened->simulator, spaces, options);
    run.call(CHECK, [&] { opened->simulator->close(); });
}

}  // namespace norva_core::sim::validation
