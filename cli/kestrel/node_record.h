#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace kestrel {

// A text field of the node state record: its text, a number in decimal, or nothing when the
// field is missing, null or of another kind.
std::optional<std::string> _record_text(const nlohmann::ordered_json& record,
                                        const std::string& key);

}  // namespace kestrel
