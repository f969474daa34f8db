#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// Implemented in toolkit/sim/common/serializer_json.cpp.
namespace norva_core::SerializerJson {

// JSON text of the value; "null" when absent.
std::string serialize(const std::optional<nlohmann::ordered_json>& value);

}  // namespace norva_core::SerializerJson
