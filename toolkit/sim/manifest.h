#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "norva_core/sim_errors.h"

namespace norva_core::sim {

inline constexpr const char* MANIFEST_FILE = "norva-sim.toml";

// What a sim folder says about itself in its manifest.
struct Manifest {
    std::string name;
    std::string description;
    std::string type;
    std::string version;
    // The simulator program and its arguments, started in the sim folder.
    std::vector<std::string> command;
};

// Throws ManifestError.
Manifest load_manifest(const std::filesystem::path& folder);

}  // namespace norva_core::sim
