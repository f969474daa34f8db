#include "commands.h"
#include "jobs.h"
#include "node_record.h"
#include "norva_api/credentials.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"
#include "norva_core/markup.h"
#include "norva_core/process.h"
#include "norva_core/text_forms.h"
#include "orderly_exit.h"
#include "registration.h"
#include "stack.h"
#include "state/state.h"

namespace kestrel {
namespace {

namespace state = norva_cli::compute::state;
using norva_core::markup::escape;

void stop_stack_or_exit() {
    norva_core::process::Result result;
    {
        auto status = console.status("Stopping compute stack...");
        result = norva_core::process::run(_compose_command({"down"}));
    }
    if (result.exit_code != 0) {
        _fail("[red]Failed to stop compute stack:\n" + escape(result.err) + "[/red]");
    }
}

// Nothing when the platform confirmed; otherwise what went wrong.
std::optional<std::string> deregister(const std::string& cluster_id, const std::string& api_key) {
    auto status = console.status("Deregistering from NORVA platform...");
    try {
        auto response = _send_deregistration(cluster_id, api_key);
        if (response.status == 200 || response.status == 204) {
            return std::nullopt;
        }
        return "Deregistration failed (" + std::to_string(response.status) +
               "): " + norva_core::text_forms::excerpt(response.body);
    } catch (const norva_core::http::TimeoutError&) {
        return "Could not reach NORVA platform to deregister: timed out";
    } catch (const norva_core::http::ClientError& failure) {
        return std::string("Could not reach NORVA platform to deregister: ") + failure.what();
    }
}

// A record connect wrote always has both; a hand-edited one may not, and then the stack still
// comes down and the user is told why the platform was not asked.
std::optional<std::string> deregister_recorded(const nlohmann::ordered_json& record) {
    auto cluster_id = _record_text(record, "cluster_id");
    if (!cluster_id || cluster_id->empty()) {
        return "Cannot deregister: the node state has no \"cluster_id\".";
    }
    auto api_key = _record_text(record, "api_key");
    if (!api_key || api_key->empty()) {
        api_key = norva_api::credentials::node_api_key();
    }
    if (!api_key) {
        return "Cannot deregister cluster " + *cluster_id +
               ": the node state has no node credential and NORVA_API_KEY is not set.";
    }
    return deregister(*cluster_id, *api_key);
}

}  // namespace

void disconnect() {
    norva_core::async_util::async_to_sync(_disconnect_async)();
}

void _disconnect_async() {
    auto record = state::load();
    if (!record) {
        _fail("[red]No compute node is connected. Nothing to disconnect.[/red]");
    }
    {
        auto status = console.status("Shutting down active jobs...");
        _shutdown_jobs();
    }
    stop_stack_or_exit();
    auto deregister_error = deregister_recorded(*record);
    if (deregister_error && !deregister_error->empty()) {
        console.print("[yellow]" + escape(*deregister_error) + "[/yellow]");
    }
    // Once the stack is down the node is forgotten locally, whatever the platform said.
    state::delete_();
    if (!deregister_error) {
        console.print("[green]Compute node stopped and deregistered.[/green]");
    } else {
        console.print(
            "[yellow]Compute node stopped. Platform deregistration failed — the cluster may still "
            "appear "
            "online.[/yellow]");
    }
}

}  // namespace kestrel
