#include <cctype>
#include <cstdlib>

#include "connection.h"
#include "norva_api/api.h"
#include "norva_api/credentials.h"
#include "norva_core/console.h"

namespace norva_api {

APINoCode::APINoCode(std::string base) : token(credentials::require_session_token()) {
    auto connection = std::make_shared<const Connection>(Connection{std::move(base), token});
    organizations.connection = connection;
    projects.connection = connection;
    sims.connection = connection;
}

std::optional<Record> APINoCode::Organizations::cli_select() const {
    if (const char* chosen = std::getenv("NORVA_ORGANIZATION_ID");
        chosen != nullptr && *chosen != '\0') {
        return Record{{"uuid", chosen}};
    }
    auto listing = connection->request("GET", "/organizations");
    if (!listing.is_array()) {
        throw PlatformError("Platform request failed: GET /organizations: expected a list");
    }
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

}  // namespace norva_api

namespace norva_api {
namespace {

// An identifier as one path segment: whatever it holds, it cannot reach another path.
std::string segment(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xF];
        }
    }
    return encoded;
}

}  // namespace

std::vector<Record> APINoCode::Projects::list(const std::string& organization_id) const {
    std::string path = "/organizations/" + segment(organization_id) + "/projects";
    auto listing = connection->request("GET", path);
    if (!listing.is_array()) {
        throw PlatformError("Platform request failed: GET " + path + ": expected a list");
    }
    return {listing.begin(), listing.end()};
}

}  // namespace norva_api
