#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace norva_platform {

// Reads a JSON object from a file; nothing when the file does not exist. Anything else that is
// not a JSON object throws an error naming the file.
std::optional<nlohmann::ordered_json> read_json_object(const std::string& path);

// Replaces the file atomically (temporary file in the same folder, fsync, rename) with mode 0600,
// creating its folder with mode 0700.
void write_private_json(const std::string& path, const nlohmann::ordered_json& value);

}  // namespace norva_platform
