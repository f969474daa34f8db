#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/sim_validator_util.h"

namespace plover {
namespace {

using norva_core::sim_validator_util::Issue;
using norva_core::sim_validator_util::Severity;
using norva_core::sim_validator_util::Validation;
using norva_core::sim_validator_util::ValidationOptions;

// What each check that ran came to: its worst finding, or "passed".
nlohmann::ordered_json checks_document(const Validation& validation) {
    auto checks = nlohmann::ordered_json::array();
    for (const auto& check : validation.checks) {
        std::string outcome = "passed";
        for (const auto& issue : validation.issues) {
            if (issue.check == check) {
                outcome =
                    issue.severity == Severity::error || outcome == "error" ? "error" : "warning";
            }
        }
        checks.push_back({{"check", check}, {"outcome", outcome}});
    }
    return checks;
}

// How long the main run steps when no --steps is given.
constexpr std::chrono::seconds STEPPING_BUDGET{3};

// More steps than this would take minutes and check nothing more.
constexpr long MAX_STEPS = 100000;

nlohmann::ordered_json findings_document(const Validation& validation) {
    auto findings = nlohmann::ordered_json::array();
    long errors = 0;
    const auto& issues = validation.issues;
    for (const auto& issue : issues) {
        bool is_error = issue.severity == Severity::error;
        errors += is_error ? 1 : 0;
        findings.push_back({{"check", issue.check},
                            {"severity", is_error ? "error" : "warning"},
                            {"message", issue.message}});
    }
    long warnings = static_cast<long>(issues.size()) - errors;
    return {{"valid", validation.success},
            {"findings", std::move(findings)},
            {"summary", {{"errors", errors}, {"warnings", warnings}}},
            {"checks", checks_document(validation)}};
}

}  // namespace

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol, bool json, const ValidationOptions& options) {
    norva_core::async_util::async_to_sync(_validate)(_final_path(path, path_option), address,
                                                     protocol, true, json, options);
}

void _validate(OptionalText path, OptionalText address, const std::string& protocol, bool is_print,
               bool json, const ValidationOptions& options) {
    std::string target = _target(path, address);
    auto validation = norva_core::sim_validator_util::validate(target, protocol, options);
    if (is_print && json) {
        console.print(findings_document(validation));
    } else if (is_print) {
        norva_core::sim_validator_util::print_issues(validation.issues);
    }
    if (!validation.success) {
        throw std::runtime_error("Validation failed");
    }
}

const CommandTable VALIDATE_COMMAND{
    "validate",
    "Validate a sim to see if it is implemented correctly",
    {{"PATH", "Path to the sim (positional argument)"},
     {"--path", "Path to the sim (option)"},
     {"-a,--address", "Address to the sim, e.g., localhost:1337"},
     {"-p,--protocol", "Protocol to run the sim (grpc, http)", "grpc"},
     {"--seed", "Seed of the resets and of the actions drawn; the same seed checks the same steps",
      "0"},
     {"--steps",
      "Steps taken by each check that steps (default: the first run steps for up to 3 s or "
      "1,000 episodes, each from the next seed; the others 25)"},
     {"--strict", "Fail on warnings too, as CI should", std::nullopt, Form::flag},
     JSON_FLAG}};

void validate_command(const Values& values) {
    ValidationOptions options;
    if (auto seed = values.given("--seed")) {
        options.seed = static_cast<std::uint64_t>(_to_count("--seed", *seed, 0, "seed"));
    }
    if (auto steps = values.given("--steps")) {
        options.steps =
            static_cast<int>(std::min<long>(_to_count("--steps", *steps, 1, "steps"), MAX_STEPS));
    } else {
        options.budget = STEPPING_BUDGET;
    }
    options.strict = values.flag("--strict");
    validate(values.given("PATH"), values.given("--path"), values.given("--address"),
             values.text("--protocol"), values.flag("--json"), options);
}

}  // namespace plover
