#include <stdexcept>

#include "catalogue.h"
#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/docker_util.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"

namespace plover {
namespace {

// A cell as received: text as it is, a number written out, absent as the default, null as
// empty. Anything else is not something a table cell can show.
std::string cell(const Record& record, const char* key, const std::string& absent) {
    if (!record.is_object() || !record.contains(key)) {
        return absent;
    }
    const auto& value = record.at(key);
    if (value.is_null()) {
        return "";
    }
    if (value.is_number()) {
        return value.dump();
    }
    if (!value.is_string()) {
        throw std::invalid_argument(std::string("\"") + key + "\" is not text: " + value.dump());
    }
    return norva_core::markup::escape(value.get<std::string>());
}

// The same value for a script: text and numbers as received, absent and null as null.
Record json_field(const Record& record, const char* key) {
    if (!record.is_object() || !record.contains(key) || record.at(key).is_null()) {
        return nullptr;
    }
    const auto& value = record.at(key);
    if (!value.is_string() && !value.is_number()) {
        throw std::invalid_argument(std::string("\"") + key + "\" is not text: " + value.dump());
    }
    return value;
}

Record sims_document(const std::vector<Record>& sims) {
    auto rows = Record::array();
    for (const auto& sim : sims) {
        auto versions = _newest_first(sim);
        rows.push_back(
            {{"name", json_field(sim, "name")},
             {"version", versions.empty() ? Record(nullptr) : Record(_version_text(versions[0]))},
             {"description", json_field(sim, "description")},
             {"status",
              versions.empty() ? Record(nullptr) : json_field(versions[0], "configuration_status")},
             {"uuid", json_field(sim, "id")}});
    }
    return rows;
}

Record images_document(const std::vector<Record>& images) {
    auto rows = Record::array();
    for (const auto& image : images) {
        auto name = json_field(image, "name");
        rows.push_back({{"name", name},
                        {"image", name.is_string() ? Record("norva/" + name.get<std::string>())
                                                   : Record(nullptr)},
                        {"version", json_field(image, "last_updated")}});
    }
    return rows;
}

}  // namespace

void list(bool local, bool json) {
    if (local) {
        _list_docker(json);
        return;
    }
    norva_core::async_util::async_to_sync(_list)(json);
}

void _list(bool json) {
    norva_api::APINoCode client(norva_core::settings::URL_API() + "/v1");
    auto organization = _select_organization(client);
    auto sims = client.sims.list(_record_text(organization, "uuid"));
    if (json) {
        console.print(sims_document(sims));
        return;
    }

    norva_core::console::Table table;
    for (const char* column : {"Name", "Version", "Description", "Status", "UUID"}) {
        table.add_column(column);
    }
    for (const auto& sim : sims) {
        std::string status = "Unknown";
        std::string version = "1";
        if (auto versions = _newest_first(sim); !versions.empty()) {
            version = norva_core::markup::escape(_version_text(versions.front()));
            status = cell(versions.front(), "configuration_status", "UNKNOWN");
        }
        table.add_row({cell(sim, "name", "Unknown"), version, cell(sim, "description", "Unknown"),
                       status, cell(sim, "id", "Unknown")});
    }
    console.print(table);
}

void _list_docker(bool json) {
    auto images = norva_core::docker_util::sim_list_images();
    if (json) {
        console.print(images_document(images));
        return;
    }
    norva_core::console::Table table;
    for (const char* column : {"Sim Name", "Docker URL", "Version"}) {
        table.add_column(column);
    }
    for (const auto& image : images) {
        std::string name = cell(image, "name", "");
        table.add_row({name, "norva/" + name, cell(image, "last_updated", "")});
    }
    console.print(table);
}

const CommandTable LIST_COMMAND{"list",
                                "List all sims under a project\n"
                                "Optional Args:\n"
                                "local (bool, optional): Whether to list the local sim "
                                "images on docker. Defaults to False.",
                                {{"--local,!--no-local", "", "off", Form::on_off}, JSON_FLAG}};

void list_command(const Values& values) {
    list(values.flag("--local"), values.flag("--json"));
}

}  // namespace plover
