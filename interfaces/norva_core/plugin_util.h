#pragma once

#include <string>

#include "norva_core/sim_errors.h"

// Implemented in toolkit/packaging/package.cpp, part of the network module (libarchive).
namespace norva_core::plugin_util {

struct Package {
    std::string archive_path;
    std::string file_name;
    std::string name;
    std::string description;
    std::string type;
    std::string version;
};

// Packs the sim folder into an archive inside a directory made for it alone. Throws
// ManifestError for a folder without a readable manifest and std::runtime_error when the
// archive cannot be written or would leave the manifest out.
Package package(const std::string& path_abs);

}  // namespace norva_core::plugin_util
