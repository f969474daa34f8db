#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "commands.h"
#include "norva_core/errors.h"
#include "norva_core/process.h"
#include "stack.h"
#include "state/state.h"

namespace kestrel {
namespace {

// docker takes a count of lines or "all"; anything else is refused before docker starts.
void check_tail(const std::string& tail) {
    bool is_count = !tail.empty() && std::all_of(tail.begin(), tail.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
    });
    if (!is_count && tail != "all") {
        throw std::invalid_argument("Invalid value for '--tail': " + tail +
                                    " is not a number of lines or \"all\".");
    }
}

std::vector<std::string> logs_command(const OptionalText& service, bool follow,
                                      const OptionalText& tail) {
    auto argv = _compose_command({"logs"});
    if (follow) {
        argv.emplace_back("--follow");
    }
    if (tail) {
        argv.insert(argv.end(), {"--tail", *tail});
    }
    if (service) {
        argv.push_back(*service);
    }
    return argv;
}

}  // namespace

void logs(OptionalText service, bool follow, OptionalText tail) {
    if (tail) {
        check_tail(*tail);
    }
    if (!norva_cli::compute::state::load()) {
        throw std::runtime_error(
            "No compute node is connected, so there are no logs. Start one with `norva compute "
            "connect`.");
    }
    norva_core::process::Options options;
    options.out = norva_core::process::Output::inherit;
    options.err = norva_core::process::Output::inherit;
    try {
        auto result = norva_core::process::run(logs_command(service, follow, tail), options);
        if (result.exit_code != 0) {
            // docker has said what went wrong on the same terminal.
            throw norva_core::ExitRequest{result.exit_code};
        }
    } catch (const norva_core::Interrupted&) {
        // Following ends when the user stops it, as with `docker logs -f`.
        if (!follow) {
            throw;
        }
    }
}

}  // namespace kestrel
