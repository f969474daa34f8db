#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>

// The node state record, kept between invocations: one per machine.
// Implemented in platform/state/node_state.cpp.
namespace norva_cli::compute::state {

// The record file could not be read, parsed or written; the text names the file.
class StateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// NORVA_HOME/compute/node.json
std::string record_path();

// The saved record, or nothing when none is saved.
std::optional<nlohmann::ordered_json> load();

// Replaces the record atomically, readable by the owner only.
void save(const nlohmann::ordered_json& record);

// Forgets the record; nothing happens when none is saved.
void delete_();

}  // namespace norva_cli::compute::state
