#include <nlohmann/json.hpp>

#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/sim_validator_util.h"

namespace plover {
namespace {

using norva_core::sim_validator_util::Issue;
using norva_core::sim_validator_util::Severity;

nlohmann::ordered_json findings_document(bool is_success, const std::vector<Issue>& issues) {
    auto findings = nlohmann::ordered_json::array();
    long errors = 0;
    for (const auto& issue : issues) {
        bool is_error = issue.severity == Severity::error;
        errors += is_error ? 1 : 0;
        findings.push_back({{"check", issue.check},
                            {"severity", is_error ? "error" : "warning"},
                            {"message", issue.message}});
    }
    long warnings = static_cast<long>(issues.size()) - errors;
    return {{"valid", is_success},
            {"findings", std::move(findings)},
            {"summary", {{"errors", errors}, {"warnings", warnings}}}};
}

}  // namespace

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol, bool json) {
    norva_core::async_util::async_to_sync(_validate)(_final_path(path, path_option), address,
                                                     protocol, true, json);
}

void _validate(OptionalText path, OptionalText address, const std::string& protocol, bool is_print,
               bool json) {
    std::string target = _target(path, address);
    auto [is_success, errors] = norva_core::sim_validator_util::validate(target, protocol);
    if (is_print && json) {
        console.print(findings_document(is_success, errors));
    } else if (is_print) {
        norva_core::sim_validator_util::print_issues(errors);
    }
    if (!is_success) {
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
     JSON_FLAG}};

void validate_command(const Values& values) {
    validate(values.given("PATH"), values.given("--path"), values.given("--address"),
             values.text("--protocol"), values.flag("--json"));
}

}  // namespace plover
