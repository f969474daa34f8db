#pragma once

#include <string>
#include <utility>
#include <vector>

// Implemented in toolkit/sim/validator.cpp.
namespace norva_core::sim_validator_util {

enum class Severity { error, warning };

struct Issue {
    Severity severity;
    std::string check;
    std::string message;
};

// Runs the check list against a sim folder or an address; success when no issue is an error.
// What the sim does wrong is an issue; a folder without a readable manifest throws
// ManifestError, an unknown protocol or address std::invalid_argument, a signal Interrupted.
std::pair<bool, std::vector<Issue>> validate(const std::string& target,
                                             const std::string& protocol);

void print_issues(const std::vector<Issue>& errors);

}  // namespace norva_core::sim_validator_util
