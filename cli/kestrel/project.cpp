#include "commands.h"
#include "node_record.h"
#include "norva_api/api.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"
#include "orderly_exit.h"
#include "state/state.h"

namespace kestrel {
namespace {

namespace state = norva_cli::compute::state;

std::string field_text(const nlohmann::ordered_json& project, const std::string& key) {
    auto found = project.find(key);
    if (!project.is_object() || found == project.end() || found->is_null()) {
        throw std::runtime_error("The platform listed a project without \"" + key + "\"");
    }
    return found->is_string() ? found->get<std::string>() : found->dump();
}

}  // namespace

void project() {
    norva_core::async_util::async_to_sync(_project_async)();
}

void _project_async() {
    auto record = state::load();
    auto cluster_id = record ? _record_text(*record, "cluster_id") : std::nullopt;
    if (!cluster_id || cluster_id->empty()) {
        _fail("[red]No compute node is connected. Run `norva compute connect` first.[/red]");
    }
    auto organization_id = _record_text(*record, "organization_id");
    if (!organization_id) {
        _fail(
            "[red]No organization is linked. Run `norva compute connect` again to select "
            "one.[/red]");
    }
    norva_api::APINoCode client(norva_core::settings::URL_API() + "/v1");
    auto projects = client.projects.list(*organization_id);
    if (projects.empty()) {
        _fail("[red]No projects found for this organization.[/red]");
    }
    std::vector<std::string> entries;
    for (const auto& listed : projects) {
        entries.push_back(field_text(listed, "name") + " (uuid: " + field_text(listed, "id") + ")");
    }
    auto choice = norva_core::console::TerminalMenu(entries, "Select a Project:").show();
    if (!choice) {
        _fail("[yellow]No project selected.[/yellow]");
    }
    const auto& chosen = projects[*choice];
    auto updated = *record;
    updated["project_id"] = chosen["id"];
    state::save(updated);
    console.print("[green]Project linked: " +
                  norva_core::markup::escape(field_text(chosen, "name")) + "[/green]");
}

}  // namespace kestrel
