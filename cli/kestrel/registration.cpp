#include "registration.h"

#include <nlohmann/json.hpp>

#include "group.h"
#include "norva_api/api.h"
#include "norva_core/json_input.h"
#include "norva_core/markup.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"
#include "probes.h"

namespace kestrel {
namespace {

using norva_core::markup::escape;

norva_core::http::Request platform_request(std::string method, const std::string& path,
                                           const std::string& bearer) {
    norva_core::http::Request request;
    request.method = std::move(method);
    request.url = norva_core::settings::URL_API() + path;
    request.headers = {{"Authorization", "Bearer " + bearer}};
    request.total_timeout =
        norva_core::settings::seconds_limit(norva_core::settings::Key::registration_limit);
    request.tls = norva_api::get_ssl_connector();
    return request;
}

nlohmann::ordered_json registration_payload(const ClusterRegistration& registration) {
    nlohmann::ordered_json payload = {{"name", registration.name}, {"info", _get_hardware_info()}};
    if (registration.managed) {
        if (registration.stable_cluster_id && !registration.stable_cluster_id->empty()) {
            payload["cluster_id"] = *registration.stable_cluster_id;
        }
        if (!registration.grant_organization_ids.empty()) {
            payload["grant_organization_ids"] = registration.grant_organization_ids;
        }
    } else {
        payload["organization_id"] = registration.organization_id.value_or("");
    }
    return payload;
}

std::optional<std::string> cluster_id_of(const std::string& body) {
    auto answer = norva_core::json_input::parse(body);
    if (!answer.is_object() || !answer.contains("id") || answer["id"].is_null()) {
        return std::nullopt;
    }
    const auto& id = answer["id"];
    return id.is_string() ? id.get<std::string>() : id.dump();
}

std::string unreachable(const std::string& failure) {
    return "Could not reach NORVA platform: " + (failure.empty() ? "request timed out" : failure);
}

}  // namespace

RegistrationResult _register_cluster(const ClusterRegistration& registration) {
    auto status = console.status("Registering with NORVA platform...");
    // The host probes run before anything is sent: their failure is this machine's, not the
    // platform's.
    auto payload = registration_payload(registration).dump();
    try {
        auto request = platform_request(
            "POST", registration.managed ? "/v1/clusters/managed" : "/v1/clusters/local",
            registration.bearer);
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = payload;
        auto response = norva_core::http::send(request);
        if (response.status != 200 && response.status != 201) {
            return {std::nullopt, "Registration failed (" + std::to_string(response.status) +
                                      "): " + norva_core::text_forms::excerpt(response.body)};
        }
        auto cluster_id = cluster_id_of(response.body);
        if (!cluster_id) {
            return {std::nullopt, "Response is missing cluster id"};
        }
        return {cluster_id, {}};
    } catch (const norva_core::json_input::InputError& error) {
        return {std::nullopt, unreachable(std::string("the answer is ") + error.what())};
    } catch (const std::exception& failure) {
        return {std::nullopt, unreachable(failure.what())};
    }
}

norva_core::http::Response _send_deregistration(const std::string& cluster_id,
                                                const std::string& bearer) {
    return norva_core::http::send(platform_request("DELETE", "/v1/clusters/" + cluster_id, bearer));
}

void _deregister_cluster_quietly(const std::string& cluster_id, const std::string& bearer) {
    try {
        auto response = _send_deregistration(cluster_id, bearer);
        if (response.status != 200 && response.status != 204) {
            console.print("[yellow]Deregistration failed (" + std::to_string(response.status) +
                          "): " + escape(norva_core::text_forms::excerpt(response.body)) +
                          "[/yellow]");
        }
    } catch (const std::exception& failure) {
        std::string text = failure.what();
        console.print("[yellow]Could not reach NORVA platform to deregister: " +
                      escape(text.empty() ? "request timed out" : text) + "[/yellow]");
    }
}

}  // namespace kestrel
