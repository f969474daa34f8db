#include "sim/common/manifest.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <sstream>

#include "norva_core/text_forms.h"

namespace norva_core::sim {
namespace {

const std::vector<std::string> KNOWN_KEYS{"name",    "description", "type",
                                          "version", "command",     "instances"};

// The edits (insertions, deletions, substitutions) that turn one text into the other.
std::size_t edit_distance(const std::string& from, const std::string& to) {
    std::vector<std::size_t> row(to.size() + 1);
    for (std::size_t j = 0; j <= to.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= from.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= to.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (from[i - 1] == to[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[to.size()];
}

// The known key a misspelt one most resembles: at most two edits, or one for short keys.
std::optional<std::string> resembled_key(const std::string& key) {
    std::optional<std::string> best;
    std::size_t closest = key.size() <= 4 ? 2 : 3;
    for (const auto& known : KNOWN_KEYS) {
        auto distance = edit_distance(key, known);
        if (distance < closest) {
            closest = distance;
            best = known;
        }
    }
    return best;
}

std::vector<Manifest::UnknownKey> unknown_keys_of(const toml::table& table) {
    std::vector<Manifest::UnknownKey> unknown;
    for (const auto& [key, value] : table) {
        std::string name(key.str());
        if (std::find(KNOWN_KEYS.begin(), KNOWN_KEYS.end(), name) == KNOWN_KEYS.end()) {
            unknown.push_back({name, resembled_key(name)});
        }
    }
    return unknown;
}

// "; did you mean 'command'? the manifest has 'comand'", when a key present resembles it.
std::string misspelling_hint(const toml::table& table, const std::string& field) {
    for (const auto& unknown : unknown_keys_of(table)) {
        if (unknown.resembles == field) {
            return "; the manifest has '" + quoted_value(unknown.key) + "': did you mean '" +
                   field + "'?";
        }
    }
    return "";
}

std::string required_text(const toml::table& table, const std::string& file, const char* field) {
    const toml::node* node = table.get(field);
    if (node == nullptr) {
        throw ManifestError(file + ": the field '" + field + "' is missing" +
                            misspelling_hint(table, field));
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
                            "for example command = [\"python3\", \"sim.py\"]" +
                            misspelling_hint(table, "command"));
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

std::size_t instances_of(const toml::table& table, const std::string& file) {
    const toml::node* node = table.get("instances");
    if (node == nullptr) {
        return 1;
    }
    auto count = node->value_exact<std::int64_t>();
    if (!count || *count < 1 || static_cast<std::uint64_t>(*count) > MAX_INSTANCES) {
        throw ManifestError(fmt::format(
            "{}: the field 'instances' must be a whole number from 1 to {}: the environments one "
            "process of the simulator holds",
            file, MAX_INSTANCES));
    }
    return static_cast<std::size_t>(*count);
}

}  // namespace

std::string quoted_value(const std::string& value) {
    return text_forms::excerpt(value);
}

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
                            "not \"" + quoted_value(manifest.type) + "\"");
    }
    manifest.version = required_text(table, file, "version");
    if (manifest.version.empty()) {
        throw ManifestError(file + ": the field 'version' must not be empty");
    }
    manifest.command = command_of(table, file);
    manifest.instances = instances_of(table, file);
    manifest.unknown_keys = unknown_keys_of(table);
    return manifest;
}

}  // namespace norva_core::sim
