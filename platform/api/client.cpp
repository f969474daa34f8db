#include <cstdlib>

#include "connection.h"
#include "norva_api/api.h"
#include "norva_api/credentials.h"
#include "norva_core/console.h"
#include "norva_core/settings.h"

namespace norva_api {

APINoCode::APINoCode(std::string base)
    : APINoCode(std::move(base), credentials::require_session_token()) {}

APINoCode::APINoCode(std::string base, std::string session_token)
    : token(std::move(session_token)) {
    auto connection = std::make_shared<const Connection>(Connection{std::move(base), token});
    organizations.connection = connection;
    projects.connection = connection;
    sims.connection = connection;
}

std::optional<Record> APINoCode::Organizations::cli_select() const {
    if (auto chosen = norva_core::settings::value(norva_core::settings::Key::organization_id)) {
        return Record{{"uuid", *chosen}};
    }
    auto listing = list();
    std::vector<std::string> entries;
    for (const auto& organization : listing) {
        entries.push_back(organization.value("name", "") +
                          " (uuid: " + organization.value("uuid", "") + ")");
    }
    auto choice = norva_core::console::TerminalMenu(entries, "Select an Organization:").show();
    if (!choice) {
        return std::nullopt;
    }
    return listing[*choice];
}

std::vector<Record> APINoCode::Organizations::list() const {
    return expect_list(connection->request("GET", "/organizations"), "GET /organizations");
}

std::vector<Record> APINoCode::Projects::list(const std::string& organization_id) const {
    std::string path = "/organizations/" + url_segment(organization_id) + "/projects";
    return expect_list(connection->request("GET", path), "GET " + path);
}

}  // namespace norva_api
