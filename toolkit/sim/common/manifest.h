#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "norva_core/sim_errors.h"

namespace norva_core::sim {

inline constexpr const char* MANIFEST_FILE = "norva-sim.toml";

// The most environments a batched simulator's process may hold.
inline constexpr std::size_t MAX_INSTANCES = 1024;

// What a sim folder says about itself in its manifest.
struct Manifest {
    std::string name;
    std::string description;
    std::string type;
    std::string version;
    // The simulator program and its arguments, started in the sim folder.
    std::vector<std::string> command;
    // How many environments one process of the program holds (a batched simulator); a vector
    // of N runs ceil(N / instances) processes.
    std::size_t instances = 1;
    // Keys norva does not know, each with the known key it most resembles, when one does.
    struct UnknownKey {
        std::string key;
        std::optional<std::string> resembles;
    };
    std::vector<UnknownKey> unknown_keys{};
};

// Throws ManifestError.
Manifest load_manifest(const std::filesystem::path& folder);

// A manifest's value as a message quotes it: a manifest may hold megabytes in one field, so
// long values are cut.
std::string quoted_value(const std::string& value);

}  // namespace norva_core::sim
