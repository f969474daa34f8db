#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Implemented in toolkit/sim/validate/validator.cpp and the validation_*.cpp beside it.
namespace norva_core::sim_validator_util {

enum class Severity { error, warning };

struct Issue {
    Severity severity;
    std::string check;
    std::string message;
};

struct ValidationOptions {
    // Seeds the resets and the actions drawn, so that two runs check the same trajectory.
    std::uint64_t seed = 0;
    // Steps taken by each check that steps.
    int steps = 25;
    // When set, the main run steps until this much time or EPISODE_BUDGET episodes are spent
    // instead of `steps` steps, each episode reset with the next seed: faults that show only
    // deep into some episodes are reached.
    std::optional<std::chrono::milliseconds> budget;
    // Warnings fail the validation too, as CI wants them to.
    bool strict = false;
};

inline constexpr int EPISODE_BUDGET = 1000;

struct Validation {
    // No issue is an error.
    bool success = false;
    std::vector<Issue> issues;
    // Every check that ran, in order, whether it found something or not.
    std::vector<std::string> checks;
};

// Runs the check list against a sim folder or an address. What the sim does wrong is an issue;
// a folder without a readable manifest throws ManifestError, an unknown protocol or address
// std::invalid_argument, a signal Interrupted.
Validation validate(const std::string& target, const std::string& protocol,
                    const ValidationOptions& options = {});

void print_issues(const std::vector<Issue>& errors);

}  // namespace norva_core::sim_validator_util
