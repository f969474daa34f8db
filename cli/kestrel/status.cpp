#include <chrono>

#include "commands.h"
#include "node_record.h"
#include "norva_core/http.h"
#include "norva_core/markup.h"
#include "state/state.h"

namespace kestrel {
namespace {

namespace state = norva_cli::compute::state;
using Json = nlohmann::ordered_json;

// Any HTTP answer at all counts: the service is up, whatever it thinks of the request.
bool compute_service_answers() {
    norva_core::http::Request request;
    request.url = std::string(COMPUTE_API_URL) + "/";
    request.total_timeout = std::chrono::seconds(2);
    request.connect_timeout = std::chrono::seconds(1);
    try {
        return norva_core::http::send(request).status > 0;
    } catch (const std::exception&) {
        return false;
    }
}

Json optional_text(const Json& record, const char* key) {
    auto text = _record_text(record, key);
    return text ? Json(*text) : Json(nullptr);
}

// What a script needs to know about the node; never its credential.
Json node_status(const std::optional<Json>& record) {
    if (!record) {
        return {{"connected", false}};
    }
    return {
        {"connected", true},
        {"cluster_id", optional_text(*record, "cluster_id")},
        {"mode", record->value("managed", false) ? "managed" : "local"},
        {"organization_id", optional_text(*record, "organization_id")},
        {"project_id", optional_text(*record, "project_id")},
        {"started_at", optional_text(*record, "started_at")},
        {"compute_service_answering", compute_service_answers()},
    };
}

std::string shown(const Json& value) {
    return value.is_string() ? norva_core::markup::escape(value.get<std::string>()) : "none";
}

void print_status(const Json& status) {
    if (!status.at("connected").get<bool>()) {
        console.print("No compute node is connected. Start one with `norva compute connect`.");
        return;
    }
    console.print("[green]Compute node connected[/green]");
    console.print("  Cluster ID:       " + shown(status.at("cluster_id")));
    console.print("  Mode:             " + shown(status.at("mode")));
    console.print("  Organization:     " + shown(status.at("organization_id")));
    console.print("  Project:          " + shown(status.at("project_id")));
    console.print("  Since:            " + shown(status.at("started_at")));
    console.print(status.at("compute_service_answering").get<bool>()
                      ? "  Compute service:  [green]answering on port 8000[/green]"
                      : "  Compute service:  [red]not answering on port 8000[/red]");
}

}  // namespace

void status(bool json) {
    auto status = node_status(state::load());
    if (json) {
        console.print(status);
    } else {
        print_status(status);
    }
}

}  // namespace kestrel
