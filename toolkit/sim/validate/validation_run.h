#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "norva_core/sim_errors.h"
#include "norva_core/sim_validator_util.h"
#include "norva_core/space.h"
#include "sim/common/simulator.h"

namespace norva_core::sim {
class WorkerProcess;
}

namespace norva_core::sim::validation {

using sim_validator_util::Issue;
using sim_validator_util::Severity;
using sim_validator_util::ValidationOptions;

// A value quoted in a finding, cut short.
std::string shown(const Json& value);

// Collects the findings and the checks that ran. A fatal finding ends the group of checks it
// belongs to, since the rest of the group builds on it; other groups go on.
class Run {
  public:
    struct Stop {};

    void ran(const std::string& check) {
        if (std::find(checks.begin(), checks.end(), check) == checks.end()) {
            checks.push_back(check);
        }
    }
    void error(const std::string& check, const std::string& message) {
        add(Severity::error, check, message);
    }
    void warning(const std::string& check, const std::string& message) {
        add(Severity::warning, check, message);
    }
    [[noreturn]] void fatal(const std::string& check, const std::string& message) {
        error(check, message);
        throw Stop{};
    }
    bool found_with(const std::string& text) const {
        return std::any_of(issues.begin(), issues.end(), [&](const Issue& issue) {
            return issue.message.find(text) != std::string::npos;
        });
    }
    bool found(const std::string& check) const {
        return std::any_of(issues.begin(), issues.end(),
                           [&](const Issue& issue) { return issue.check == check; });
    }

    // Runs one call to the simulator; a failure is a finding of `check` (or "timing", when the
    // simulator gave no answer in time) and ends the group. `context()`, called only then, is
    // added to its message.
    template <class Call, class Context>
    auto call(const std::string& check, Call&& call_simulator, Context&& context) {
        try {
            return call_simulator();
        } catch (const SimulatorError& failure) {
            fatal(failure.kind() == SimulatorError::Kind::timed_out ? "timing" : check,
                  failure_text(failure) + context());
        }
    }
    template <class Call>
    auto call(const std::string& check, Call&& call_simulator) {
        return call(check, std::forward<Call>(call_simulator), [] { return std::string(); });
    }

    static std::string failure_text(const SimulatorError& failure);

    std::vector<Issue> issues;
    std::vector<std::string> checks;

  private:
    void add(Severity severity, const std::string& check, const std::string& message) {
        ran(check);
        issues.push_back({severity, check, message});
    }
};

// Runs a group of checks: its fatal finding ends it alone.
template <class Group>
void run_group(Group&& group) {
    try {
        group();
    } catch (const Run::Stop&) {
        // Its findings say why it could not go on.
    }
}

// The actions a check takes, drawn from the action space in an order its seed fixes.
class ActionSequence {
  public:
    ActionSequence(const Space& space, std::uint64_t seed) : space_(space), random_(seed) {}
    Json next() { return space_.sample(random_()); }

  private:
    const Space& space_;
    std::mt19937_64 random_;
};

struct Spaces {
    Space sensor;
    Space action;
};

// Opens another simulator of the target being validated, with its process for a folder.
struct Opened {
    std::unique_ptr<Simulator> simulator;
    WorkerProcess* process = nullptr;
};
using Opener = std::function<Opened()>;

// Two fresh simulators, reset with the same seed and given the same actions, must agree.
void check_determinism(Run& run, const Opener& open, const Spaces& spaces,
                       const ValidationOptions& options);
// Actions no trainer should send must not end the simulator or hang it.
void check_bad_actions(Run& run, const Opener& open, const Spaces& spaces,
                       const ValidationOptions& options);
// A process holding several environments must answer for each as if it were alone.
void check_batched(Run& run, const Opener& open, std::size_t instances, const Spaces& spaces,
                   const ValidationOptions& options);
// Memory and descriptors must not grow with every episode.
void check_resources(Run& run, const Opener& open, const Spaces& spaces,
                     const ValidationOptions& options);

}  // namespace norva_core::sim::validation
