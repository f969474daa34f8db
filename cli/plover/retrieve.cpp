#include <stdexcept>
#include <vector>

#include "catalogue.h"
#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/console.h"
#include "norva_core/errors.h"
#include "norva_core/logger_util.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace plover {
namespace {

using norva_core::markup::escape;

// One of the five image values; the command cannot print a reference without all of them.
std::string image_value(const Record& data, const char* key) {
    if (!data.contains(key) || !data.at(key).is_string()) {
        throw std::invalid_argument(std::string("The sim's image data has no text \"") + key +
                                    "\"; ask the platform team to check this sim's build.");
    }
    return data.at(key).get<std::string>();
}

std::string registry_auth_text(const Record& data) {
    using norva_core::text_forms::str_repr;
    return "{'username': " + str_repr(image_value(data, "username")) +
           ", 'password': " + str_repr(image_value(data, "password")) +
           ", 'serveraddress': " + str_repr(image_value(data, "login_server")) + "}";
}

}  // namespace

void retrieve() {
    norva_core::async_util::async_to_sync(_retrieve)();
}

void _retrieve() {
    auto logger = norva_core::logger_util::get_logger("plover.retrieve");
    norva_api::APINoCode client(norva_core::settings::URL_API() + "/v1");
    auto organization_uuid = _record_text(_select_organization(client), "uuid");
    auto sims = client.sims.list(organization_uuid);
    if (sims.empty()) {
        print("[yellow]This organization has no sims yet.[/yellow]");
        return;
    }

    std::vector<std::string> menu_sims;
    for (const auto& sim : sims) {
        menu_sims.push_back(_record_text(sim, "name") + " (uuid: " + _record_text(sim, "id") + ")");
    }
    auto selected_idx = norva_core::console::TerminalMenu(menu_sims, "Select a Sim:").show();
    if (!selected_idx) {
        print("[yellow]No sim selected.[/yellow]");
        throw norva_core::ExitRequest{1};
    }
    const auto& sim = sims[*selected_idx];
    print("Selected sim: " + escape(menu_sims[*selected_idx]));

    auto detail = client.sims.retrieve(organization_uuid, _record_text(sim, "id"));
    auto versions = _newest_first(detail);
    if (versions.empty()) {
        print("No versions found for this sim");
        return;
    }
    const auto& newest = versions.front();
    Record data = newest.is_object() && newest.contains("data_json") ? newest.at("data_json")
                                                                     : Record::object();
    if (data.is_null() || data.empty()) {
        logger.info("Sim is building. Please try again in a moment.");
        return;
    }
    if (!data.is_object()) {
        throw std::invalid_argument("The sim's image data is not a mapping: " + data.dump());
    }
    std::string image = image_value(data, "login_server") + "/" + image_value(data, "image_name") +
                        ":" + image_value(data, "tag");
    std::string registry_auth = registry_auth_text(data);
    print("Image: " + escape(image));
    print("Registry auth: " + escape(registry_auth));
}

const CommandTable RETRIEVE_COMMAND{
    "retrieve", "Retrieve a sim's image reference and registry credential", {}};

void retrieve_command(const Values&) {
    retrieve();
}

}  // namespace plover
