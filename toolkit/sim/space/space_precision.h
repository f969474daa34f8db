#pragma once

#include <optional>
#include <string>

#include "norva_core/space.h"

namespace norva_core::sim {

// A number of a float32 or float16 box that its dtype cannot hold: a simulator that computes in
// float64 and declares float32 gives its trainer other numbers than it computed.
struct InexactValue {
    // Where in the value, as a mismatch names it: "position[0]".
    std::string place;
    std::string dtype;
    double value = 0;
    // The nearest number the dtype holds, which a trainer reading the box gets.
    double held = 0;
};

// The first such number of the value, read where it has the space's structure; `name` stands for
// the value itself.
std::optional<InexactValue> first_inexact_value(const Space& space,
                                                const nlohmann::ordered_json& value,
                                                const std::string& name);

}  // namespace norva_core::sim
