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

// A value from a record: text as it is, absent as empty; anything else a row cannot show.
std::string text_of(const Record& record, const char* key, bool required) {
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
    return record.at(key).get<std::string>();
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

// The row's values as received, for a script.
Record row_document(const Record& info, const Record& record) {
    return {{"name", text_of(info, "name", true)},
            {"image", text_of(info, "image", true)},
            {"address", text_of(info, "moniker", true)},
            {"ports", text_of(record, "ports", false)},
            {"historian_enabled", is_historian_enabled(record)},
            {"version", text_of(record, "version", false)}};
}

Record running_document() {
    auto rows = Record::array();
    for (const auto& record : norva_core::docker_util::sim_list_running()) {
        if (!record.contains("name") || !record.at("name").is_string()) {
            throw std::out_of_range("a running sim has no name");
        }
        auto info =
            norva_core::docker_util::get_info_container(record.at("name").get<std::string>());
        rows.push_back(row_document(info, record));
    }
    return rows;
}

}  // namespace

void status(OptionalText sim_name, bool moniker, bool json) {
    if (!sim_name) {
        status_all(json);
        return;
    }
    auto info = norva_core::docker_util::get_info_container(*sim_name);
    if (moniker && json) {
        console.print(Record{{"moniker", text_of(info, "moniker", true)}});
    } else if (moniker) {
        print(norva_core::markup::escape(text_of(info, "moniker", true)));
    } else {
        console.print(info);
    }
}

void status_all(bool json) {
    if (json) {
        console.print(running_document());
        return;
    }
    auto logger = norva_core::logger_util::get_logger("plover.status");
    try {
        auto running = running_document();
        norva_core::console::Table table;
        for (const char* header :
             {"Name", "Image", "Address", "Ports", "Historian Enabled", "Version"}) {
            table.add_column(header);
        }
        for (const auto& row : running) {
            auto text = [&row](const char* key) {
                return norva_core::markup::escape(row.at(key).get<std::string>());
            };
            table.add_row({text("name"), text("image"), text("address"), text("ports"),
                           row.at("historian_enabled").get<bool>() ? "True" : "False",
                           text("version")});
        }
        console.print(table);
    } catch (const std::exception& error) {
        logger.info("[red]Error (" + type_designation(error) +
                    "): " + norva_core::markup::escape(error.what()) + "[/red]");
    }
}

const CommandTable STATUS_COMMAND{
    "status",
    "Get the status of the sims running\n"
    "\n"
    "Args:\n"
    "sim_name (str, optional): The sim name to get the status for. Defaults to None.\n"
    "moniker (bool, optional): Whether to get the moniker. Defaults to False.",
    {{"--sim-name"}, {"--moniker,!--no-moniker", "", "off", Form::on_off}, JSON_FLAG}};

void status_command(const Values& values) {
    status(values.given("--sim-name"), values.flag("--moniker"), values.flag("--json"));
}

}  // namespace plover
