#include "sim/manifest.h"

#include <toml++/toml.h>

#include <sstream>

namespace norva_core::sim {
namespace {

std::string required_text(const toml::table& table, const std::string& file, const char* field) {
    const toml::node* node = table.get(field);
    if (node == nullptr) {
        throw ManifestError(file + ": the field '" + field + "' is missing");
    }
    auto value = node->value<std::string>();
    if (!value || !node->is_string()) {
        throw ManifestError(file + ": the field '" + field + "' must be a text");
    }
    return *value;
}

std::vector<std::string> command_of(const toml::table& table, const std::string& file) {
    const toml::node* node = table.get("command");
    if (node == nullptr) {
        throw ManifestError(file +
                            ": the field 'command' is missing; it names the simulator program, "
                            "for example command = [\"python3\", \"sim.py\"]");
    }
    const toml::array* items = node->as_array();
    std::vector<std::string> command;
    if (items != nullptr) {
        for (const auto& item : *items) {
            if (!item.is_string()) {
                command.clear();
                break;
            }
            command.push_back(*item.value<std::string>());
        }
    }
    if (command.empty() || command.front().empty()) {
        throw ManifestError(file +
                            ": the field 'command' must be a non-empty list of texts, for "
                            "example command = [\"python3\", \"sim.py\"]");
    }
    return command;
}

}  // namespace

Manifest load_manifest(const std::filesystem::path& folder) {
    auto path = folder / MANIFEST_FILE;
    std::string file = path.string();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        throw ManifestError("No sim folder at " + folder.string());
    }
    if (!std::filesystem::is_regular_file(path, error)) {
        throw ManifestError("No " + std::string(MANIFEST_FILE) + " in " + folder.string() +
                            "; a sim folder describes itself there (see `norva sim new`)");
    }
    toml::table table;
    try {
        table = toml::parse_file(file);
    } catch (const toml::parse_error& parse_error) {
        std::ostringstream where;
        where << parse_error.source().begin;
        throw ManifestError(file + " is not valid TOML (" + where.str() +
                            "): " + std::string(parse_error.description()));
    }
    Manifest manifest;
    manifest.name = required_text(table, file, "name");
    if (manifest.name.empty() || manifest.name.find('/') != std::string::npos) {
        throw ManifestError(file + ": the field 'name' must be a non-empty name without '/'");
    }
    if (table.contains("description")) {
        manifest.description = required_text(table, file, "description");
    }
    manifest.type = required_text(table, file, "type");
    if (manifest.type != "sim" && manifest.type.rfind("sim-", 0) != 0) {
        throw ManifestError(file + ": the field 'type' must be \"sim\" or start with \"sim-\", " +
                            "not \"" + manifest.type + "\"");
    }
    manifest.version = required_text(table, file, "version");
    if (manifest.version.empty()) {
        throw ManifestError(file + ": the field 'version' must not be empty");
    }
    manifest.command = command_of(table, file);
    return manifest;
}

}  // namespace norva_core::sim
