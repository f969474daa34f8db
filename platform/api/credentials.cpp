#include "norva_api/credentials.h"

#include "norva_core/paths.h"
#include "norva_core/settings.h"
#include "state/private_file.h"

namespace norva_api::credentials {
namespace {

using norva_core::settings::Key;

std::optional<std::string> from_env_or_file(Key variable, const char* key) {
    if (auto value = norva_core::settings::value(variable)) {
        return value;
    }
    auto stored = norva_platform::read_json_object(credentials_path());
    if (stored && stored->contains(key) && (*stored)[key].is_string() &&
        !(*stored)[key].get<std::string>().empty()) {
        return (*stored)[key].get<std::string>();
    }
    return std::nullopt;
}

}  // namespace

std::string credentials_path() {
    return norva_core::paths::norva_home() + "/credentials.json";
}

std::optional<std::string> session_token() {
    return from_env_or_file(Key::token, "token");
}

std::optional<std::string> node_api_key() {
    return from_env_or_file(Key::api_key, "api_key");
}

std::string require_session_token() {
    if (auto token = session_token()) {
        return *token;
    }
    throw MissingCredential(
        "No NORVA session token found. Sign in with `norva login`, or set "
        "NORVA_TOKEN.");
}

std::string require_node_api_key() {
    if (auto key = node_api_key()) {
        return *key;
    }
    throw MissingCredential(
        "No node API key found. Set NORVA_API_KEY, or store it as \"api_key\" in " +
        credentials_path() + ".");
}

void store_session_token(const std::string& token) {
    auto stored = norva_platform::read_json_object(credentials_path())
                      .value_or(nlohmann::ordered_json::object());
    stored["token"] = token;
    norva_platform::write_private_json(credentials_path(), stored);
}

bool forget_session_token() {
    auto stored = norva_platform::read_json_object(credentials_path());
    if (!stored || !stored->contains("token")) {
        return false;
    }
    stored->erase("token");
    norva_platform::write_private_json(credentials_path(), *stored);
    return true;
}

}  // namespace norva_api::credentials
