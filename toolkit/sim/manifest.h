#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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

// A missing or malformed manifest; the message names the file and the field.
class ManifestError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

Manifest load_manifest(const std::filesystem::path& folder);

}  // namespace norva_core::sim
