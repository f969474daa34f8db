#pragma once

#include <filesystem>

#include "sim/common/manifest.h"

namespace norva_core::sim {

// Checks that the manifest's program can be started in the folder, as the worker would start
// it: found on PATH or in the folder, a file, executable. Throws SimulatorError saying which
// of these it is not.
void check_startable(const std::filesystem::path& folder, const Manifest& manifest);

}  // namespace norva_core::sim
