#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/sim_validator_util.h"

namespace plover {

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol) {
    norva_core::async_util::async_to_sync(_validate)(_final_path(path, path_option), address,
                                                     protocol, true);
}

void _validate(OptionalText path, OptionalText address, const std::string& protocol,
               bool is_print) {
    std::string target = _target(path, address);
    auto [is_success, errors] = norva_core::sim_validator_util::validate(target, protocol);
    if (is_print) {
        norva_core::sim_validator_util::print_issues(errors);
    }
    if (!is_success) {
        throw std::runtime_error("Validation failed");
    }
}

}  // namespace plover
