#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "norva_core/json_input.h"

// JSON as simulators write it: Python's json module writes NaN, Infinity and -Infinity for
// non-finite numbers, and a validator must see such a reward as the number it is, not as text
// that is not JSON.
namespace norva_core::sim::wire_json {

// Throws json_input::InputError for text that is not JSON even with those three words, or
// that is nested too deep.
nlohmann::ordered_json parse(std::string_view text);

// Compact JSON; non-finite numbers are written the way parse reads them.
std::string dump(const nlohmann::ordered_json& value);

}  // namespace norva_core::sim::wire_json
