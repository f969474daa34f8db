#pragma once

#include <stdexcept>
#include <string>

#include "norva_core/space.h"

namespace norva_core::sim {

// The space a simulator declared; a malformed one is the simulator's fault, said as such.
inline Space declared_space(const nlohmann::ordered_json& description, const char* which) {
    try {
        return Space::from_json(description);
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(std::string("The simulator's ") + which +
                                 " is not a valid space: " + error.what());
    }
}

}  // namespace norva_core::sim
