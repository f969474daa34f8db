#include <chrono>
#include <ctime>
#include <filesystem>

#include "commands.h"
#include "grants.h"
#include "norva_api/api.h"
#include "norva_api/credentials.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"
#include "norva_core/interrupt.h"
#include "norva_core/markup.h"
#include "norva_core/paths.h"
#include "norva_core/settings.h"
#include "orderly_exit.h"
#include "probes.h"
#include "registration.h"
#include "session_cache.h"
#include "stack.h"
#include "state/state.h"

namespace kestrel {
namespace {

namespace state = norva_cli::compute::state;
using norva_core::markup::escape;

bool non_empty(const OptionalText& text) {
    return text && !text->empty();
}

// UTC now as "2026-12-07T06:43:33.123456+00:00"; the fraction is left out when it is zero.
std::string utc_timestamp() {
    auto now = std::chrono::system_clock::now();
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1000000;
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string stamp = text;
    if (micros != 0) {
        char fraction[24];
        std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
        stamp += fraction;
    }
    return stamp + "+00:00";
}

void refuse_running_node(const std::optional<nlohmann::ordered_json>& existing) {
    if (!existing) {
        return;
    }
    if (_is_port_in_use(8000)) {
        _fail("[red]Already connected — compute node is already running[/red]");
    }
    console.print(
        "[yellow]Previous state exists but no compute service is running. Continuing.[/yellow]");
}

std::optional<std::string> reusable_managed_cluster(
    bool managed, const std::optional<nlohmann::ordered_json>& existing) {
    if (!managed || !existing || existing->value("managed", false) != true) {
        return std::nullopt;
    }
    auto found = existing->find("cluster_id");
    if (found == existing->end() || !found->is_string() || found->get<std::string>().empty()) {
        return std::nullopt;
    }
    std::string cluster_id = found->get<std::string>();
    console.print("[dim]Reusing existing managed cluster " + escape(cluster_id) +
                  " (stable identity)[/dim]");
    return cluster_id;
}

void refuse_port_conflicts() {
    std::string lines;
    for (const auto& [port, label] : REQUIRED_PORTS) {
        if (_is_port_in_use(port)) {
            lines += (lines.empty() ? "" : "\n") +
                     ("  port " + std::to_string(port) + " (" + std::string(label) + ")");
        }
    }
    if (!lines.empty()) {
        _fail("[red]Port conflict — the following ports are already in use:\n" + lines + "[/red]");
    }
}

std::string node_api_key() {
    try {
        return norva_api::credentials::require_node_api_key();
    } catch (const norva_api::credentials::MissingCredential& missing) {
        _fail("[red]" + escape(missing.what()) + "[/red]");
    }
}

std::vector<std::string> grant_org_ids(const std::string& grants_file) {
    std::string path = norva_core::paths::expand_user(grants_file);
    if (!std::filesystem::exists(path)) {
        _fail("[red]--managed: grants CSV file not found: " + escape(path) + "[/red]");
    }
    return _read_grant_org_ids(path);
}

nlohmann::ordered_json node_record(const std::string& cluster_id, const std::string& api_key,
                                   bool managed,
                                   const std::optional<std::string>& organization_id) {
    nlohmann::ordered_json ports = nlohmann::ordered_json::object();
    for (const auto& [port, label] : REQUIRED_PORTS) {
        ports[std::string(label)] = port;
    }
    return {
        {"cluster_id", cluster_id},
        {"api_key", api_key},
        {"managed", managed},
        {"organization_id", organization_id ? nlohmann::ordered_json(*organization_id) : nullptr},
        {"project_id", nullptr},
        {"started_at", utc_timestamp()},
        {"ports", ports},
    };
}

void print_success(bool managed, std::size_t grant_count) {
    console.print("[green]Compute node connected and running in the background.[/green]");
    console.print("  Compute service:  port [bold]8000[/bold]");
    console.print("  SeaweedFS filer:  port [bold]8888[/bold]");
    console.print("");
    if (managed && grant_count > 0) {
        console.print("[green]Registered as the platform managed cluster — access granted to " +
                      std::to_string(grant_count) + " organization(s).[/green]");
    } else if (managed) {
        console.print(
            "[green]Registered as the platform managed cluster — it is available to all "
            "organizations.[/green]");
    } else {
        console.print(
            "[yellow]No project linked yet — run `norva compute project` before submitting a job "
            "with "
            "locally-specified components.[/yellow]");
    }
    console.print("Run [bold]norva compute disconnect[/bold] to stop the node and deregister it.");
}

}  // namespace

void connect(OptionalText name, OptionalText organization_id, OptionalText managed) {
    norva_core::async_util::async_to_sync(_connect_async)(
        std::move(name), std::move(organization_id), std::move(managed));
}

void _connect_async(OptionalText name_arg, OptionalText organization_id_arg,
                    OptionalText managed_arg) {
    const bool managed = managed_arg.has_value();
    const OptionalText grant_orgs_arg = non_empty(managed_arg) ? managed_arg : std::nullopt;

    auto existing = state::load();
    refuse_running_node(existing);
    auto stable_cluster_id = reusable_managed_cluster(managed, existing);

    if (!_check_docker_daemon()) {
        _fail("[red]Docker daemon is not running. Please start Docker and try again.[/red]");
    }
    refuse_port_conflicts();
    // Asked for before the organization, so nobody picks one in vain.
    const std::string api_key = node_api_key();

    std::optional<norva_api::APINoCode> client;
    OptionalText organization_id;
    if (managed) {
        client.emplace(norva_core::settings::URL_API() + "/v1");
    } else if (non_empty(organization_id_arg)) {
        organization_id = organization_id_arg;
    } else {
        client.emplace(norva_core::settings::URL_API() + "/v1");
        auto organization = client->organizations.cli_select();
        if (!organization || !organization->contains("uuid") ||
            !(*organization)["uuid"].is_string()) {
            throw std::runtime_error("Organization ID not found");
        }
        organization_id = (*organization)["uuid"].get<std::string>();
    }

    std::vector<std::string> grants;
    if (managed && grant_orgs_arg) {
        grants = grant_org_ids(*grant_orgs_arg);
    }

    const std::string cluster_name =
        non_empty(name_arg) ? *name_arg
                            : norva_core::paths::login_name() + (managed ? "-managed" : "-local");

    ClusterRegistration registration{managed, cluster_name, managed ? client->token : api_key,
                                     {},      {},           {}};
    if (managed) {
        registration.stable_cluster_id = stable_cluster_id;
        registration.grant_organization_ids = grants;
    } else {
        registration.organization_id = organization_id;
    }
    auto registered = _register_cluster(registration);
    if (!registered.cluster_id) {
        _fail("[red]" + escape(registered.error) + "[/red]");
    }
    const std::string cluster_id = *registered.cluster_id;

    bool stack_started = false;
    try {
        try {
            _start_stack({norva_core::settings::URL_API(), api_key, cluster_id,
                          norva_core::settings::NORVA_ENV()});
        } catch (const norva_core::Interrupted&) {
            // An interrupted "up" may already have started some containers.
            stack_started = true;
            throw;
        }
        stack_started = true;
        _flush_stale_session_cache();
        state::save(node_record(cluster_id, api_key, managed, organization_id));
    } catch (...) {
        // A further Ctrl-C (or a closed terminal) must not leave the cluster registered.
        norva_core::interrupt::CleanupShield shield;
        console.print(
            "[yellow]Error during setup — deregistering cluster and shutting down compute "
            "stack[/yellow]");
        _deregister_cluster_quietly(cluster_id, api_key);
        if (stack_started) {
            _stop_stack_quietly();
        }
        throw;
    }
    print_success(managed, grants.size());
}

}  // namespace kestrel
