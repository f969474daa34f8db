#pragma once

#include <nlohmann/json.hpp>

#include "norva_core/space.h"

// Implemented in toolkit/sim/space/space_util.cpp.
namespace norva_core::space_util {

// One variable entry per leaf of the space: {"name", "type", and "low"/"high" where bounded}.
nlohmann::ordered_json convert_space_to_json(const Space& space);

}  // namespace norva_core::space_util
