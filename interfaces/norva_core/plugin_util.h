#pragma once

#include <string>

namespace norva_core::plugin_util {

struct Package {
    std::string archive_path;
    std::string file_name;
    std::string name;
    std::string description;
    std::string type;
    std::string version;
};

// Packs the sim folder into an archive inside a directory made for it alone.
Package package(const std::string& path_abs);

}  // namespace norva_core::plugin_util
