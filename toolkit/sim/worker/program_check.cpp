#include "sim/worker/program_check.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/common/simulator.h"

namespace norva_core::sim {
namespace {

namespace fs = std::filesystem;

// Where the program may be, in the order a PATH search tries them; relative places are taken
// from the folder, the program's working folder.
std::vector<fs::path> candidates(const fs::path& folder, const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return {folder / program};
    }
    const char* path = std::getenv("PATH");
    std::string_view entries = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::vector<fs::path> found;
    for (;;) {
        auto colon = entries.find(':');
        fs::path entry(entries.substr(0, colon));
        found.push_back(folder / entry / program);
        if (colon == std::string_view::npos) {
            return found;
        }
        entries.remove_prefix(colon + 1);
    }
}

}  // namespace

void check_startable(const fs::path& folder, const Manifest& manifest) {
    const std::string& program = manifest.command.front();
    std::optional<std::string> problem;
    for (const auto& candidate : candidates(folder, program)) {
        std::error_code error;
        auto status = fs::status(candidate, error);
        if (error || !fs::exists(status)) {
            continue;
        }
        if (fs::is_directory(status)) {
            problem = problem.value_or("is a folder");
        } else if (::access(candidate.c_str(), X_OK) != 0) {
            problem = problem.value_or("is not executable");
        } else {
            return;
        }
    }
    throw SimulatorError(SimulatorError::Kind::failed,
                         "Cannot start the simulator: the program '" + quoted_value(program) +
                             "' of the manifest's command " + problem.value_or("was not found"));
}

}  // namespace norva_core::sim
