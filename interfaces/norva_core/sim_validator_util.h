#pragma once

#include <string>
#include <utility>
#include <vector>

namespace norva_core::sim_validator_util {

enum class Severity { error, warning };

struct Issue {
    Severity severity;
    std::string check;
    std::string message;
};

// Runs the check list against a sim folder or an address; success when no issue is an error.
std::pair<bool, std::vector<Issue>> validate(const std::string& target,
                                             const std::string& protocol);

void print_issues(const std::vector<Issue>& errors);

}  // namespace norva_core::sim_validator_util
