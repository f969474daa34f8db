#pragma once

#include <string>
#include <vector>

#include "norva_core/space.h"

namespace norva_core::sim {

// What a space's description says of its use, beyond being well formed: errors for what cannot
// work (a dict or tuple with no spaces), warnings for what is legal but almost surely a mistake.
struct SpaceRemark {
    bool is_error = false;
    std::string message;
};

enum class SpaceRole { sensor, action };

std::vector<SpaceRemark> space_remarks(const Space& space, SpaceRole role);

}  // namespace norva_core::sim
