#include <nlohmann/json.hpp>

#include <stdexcept>

#include "commands.h"
#include "norva_core/docker_util.h"
#include "norva_core/logger_util.h"
#include "norva_core/markup.h"

namespace plover {
namespace {

using norva_core::docker_util::Record;

bool is_historian_enabled(const Record& running) {
    if (!running.contains("env") || !running.at("env").is_array()) {
        return false;
    }
    for (const auto& entry : running.at("env")) {
        if (entry.is_string() &&
            entry.get<std::string>().find("IS_HISTORIAN_ENABLED=1") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A cell from a record: text as it is, absent as empty; anything else the table cannot show.
std::string cell(const Record& record, const char* key, bool required) {
    if (!record.contains(key) || record.at(key).is_null()) {
        if (required) {
            throw std::out_of_range(std::string("the record has no \"") + key + "\"");
        }
        return "";
    }
    if (!record.at(key).is_string()) {
        throw std::invalid_argument(std::string("\"") + key +
                                    "\" is not text: " + record.at(key).dump());
    }
    return norva_core::markup::escape(record.at(key).get<std::string>());
}

// The failure's type as users of the tool read it: its class name without namespaces.
std::string type_designation(const std::exception& error) {
    if (dynamic_cast<const norva_core::docker_util::DockerError*>(&error) != nullptr) {
        return "DockerError";
    }
    if (dynamic_cast<const nlohmann::ordered_json::exception*>(&error) != nullptr) {
        return "JSONError";
    }
    if (dynamic_cast<const std::out_of_range*>(&error) != nullptr) {
        return "LookupError";
    }
    return "Error";
}

}  // namespace

void status(OptionalText sim_name, bool moniker) {
    if (!sim_name) {
        status_all();
        return;
    }
    auto info = norva_core::docker_util::get_info_container(*sim_name);
    if (moniker) {
        print(cell(info, "moniker", true));
    } else {
        console.print(info);
    }
}

void status_all() {
    auto logger = norva_core::logger_util::get_logger("plover.status");
    try {
        auto running = norva_core::docker_util::sim_list_running();
        norva_core::console::Table table;
        for (const char* header :
             {"Name", "Image", "Address", "Ports", "Historian Enabled", "Version"}) {
            table.add_column(header);
        }
        for (const auto& record : running) {
            if (!record.contains("name") || !record.at("name").is_string()) {
                throw std::out_of_range("a running sim has no name");
            }
            auto info =
                norva_core::docker_util::get_info_container(record.at("name").get<std::string>());
            table.add_row({cell(info, "name", true), cell(info, "image", true),
                           cell(info, "moniker", true), cell(record, "ports", false),
                           is_historian_enabled(record) ? "True" : "False",
                           cell(record, "version", false)});
        }
        console.print(table);
    } catch (const std::exception& error) {
        logger.info("[red]Error (" + type_designation(error) +
                    "): " + norva_core::markup::escape(error.what()) + "[/red]");
    }
}

}  // namespace plover
