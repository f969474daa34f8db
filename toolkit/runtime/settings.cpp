#include "norva_core/settings.h"

#include "norva_core/process.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace norva_core::settings {
namespace {

// The limits below are for operators of unusual set-ups and for tests, which set them short so
// that no test waits out a real minute.
constexpr std::array SETTINGS{
    Setting{Key::api_url, Kind::text, "NORVA_API_URL", "`https://api.norva.dev`",
            "platform address", "toolkit/runtime/settings.cpp"},
    Setting{Key::environment, Kind::text, "NORVA_ENV", "`prod`", "platform environment name",
            "toolkit/runtime/settings.cpp"},
    Setting{Key::home, Kind::text, "NORVA_HOME", "`~/.norva`",
            "where norva keeps its data (mode 0700)", "toolkit/runtime/paths.cpp"},
    Setting{Key::token, Kind::text, "NORVA_TOKEN", "`\"token\"` in `$NORVA_HOME/credentials.json`",
            "your platform session token", "platform/api/credentials.cpp"},
    Setting{Key::api_key, Kind::text, "NORVA_API_KEY",
            "`\"api_key\"` in `$NORVA_HOME/credentials.json`",
            "the node credential of a compute node", "platform/api/credentials.cpp"},
    Setting{Key::organization_id, Kind::text, "NORVA_ORGANIZATION_ID", "ask",
            "choose this organization without a menu", "platform/api/client.cpp"},
    Setting{Key::ca_bundle, Kind::text, "NORVA_CA_BUNDLE", "system",
            "CA bundle for TLS instead of the system's", "toolkit/http/tls_config.cpp"},
    Setting{Key::log_level, Kind::text, "NORVA_LOG_LEVEL", "info", "`debug` shows debug lines",
            "toolkit/term/logger_util.cpp"},
    Setting{Key::sim_timeout, Kind::seconds, "NORVA_SIM_TIMEOUT", "`30`",
            "seconds a simulator may take for one answer",
            "toolkit/sim/target.cpp, serve/session_registry.cpp and remote/"},
    Setting{Key::sim_max_message, Kind::bytes, "NORVA_SIM_MAX_MESSAGE", "`64M`",
            "most bytes in one simulator answer line, HTTP body or gRPC message (`K`, `M`, `G` "
            "suffixes)",
            "toolkit/sim/common/message_limit.cpp"},
    Setting{Key::no_color, Kind::text, "NO_COLOR", "colour on terminals",
            "colour off, whatever the terminal", "toolkit/term/markup.cpp"},
    Setting{Key::force_color, Kind::text, "FORCE_COLOR", "colour on terminals",
            "colour on, whatever the terminal", "toolkit/term/markup.cpp"},
    Setting{Key::platform_connect_limit, Kind::seconds, "NORVA_PLATFORM_CONNECT_LIMIT", "`10`",
            "seconds to connect to the platform", "platform/api/connection.cpp"},
    Setting{Key::platform_stall_limit, Kind::seconds, "NORVA_PLATFORM_STALL_LIMIT", "`60`",
            "seconds a platform transfer may move nothing before it fails",
            "platform/api/connection.cpp"},
    Setting{Key::registration_limit, Kind::seconds, "NORVA_REGISTRATION_LIMIT", "`15`",
            "seconds the platform has to register or deregister a compute node",
            "cli/kestrel/registration.cpp"},
    Setting{Key::compute_connect_limit, Kind::seconds, "NORVA_COMPUTE_CONNECT_LIMIT", "`10`",
            "seconds to connect to the compute service to shut its jobs down",
            "cli/kestrel/jobs.cpp"},
    Setting{Key::sim_start_limit, Kind::seconds, "NORVA_SIM_START_LIMIT", "`20`",
            "seconds a simulator container just started has to answer",
            "toolkit/sim/sim_client.cpp"},
    Setting{Key::sim_idle_limit, Kind::seconds, "NORVA_SIM_IDLE_LIMIT", "`600`",
            "seconds a kept-alive HTTP connection to `sim run` may wait for its next request",
            "toolkit/sim/serve/http_server.cpp"},
    Setting{Key::sim_stall_limit, Kind::seconds, "NORVA_SIM_STALL_LIMIT", "`60`",
            "seconds a request to `sim run` over HTTP may stop arriving before it is dropped",
            "toolkit/sim/serve/http_server.cpp"},
    Setting{Key::sim_token, Kind::text, "NORVA_SIM_TOKEN", "none",
            "the token `sim run` requires of every call, and norva sends to served sims",
            "toolkit/sim/common/access_token.cpp"},
};

constexpr bool in_key_order() {
    for (std::size_t i = 0; i < SETTINGS.size(); ++i) {
        if (static_cast<std::size_t>(SETTINGS[i].key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(in_key_order(), "the table lists every key once, in the enum's order");

std::string unquoted(std::string_view fallback) {
    if (fallback.size() >= 2 && fallback.front() == '`' && fallback.back() == '`') {
        fallback = fallback.substr(1, fallback.size() - 2);
    }
    return std::string(fallback);
}

std::chrono::milliseconds parse_seconds(std::string_view variable, const std::string& text) {
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(seconds > 0) || seconds > 1e9) {
        throw std::invalid_argument(std::string(variable) +
                                    " must be a positive number of seconds, not '" + text + "'");
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

std::size_t suffix_factor(std::string_view suffix) {
    if (suffix.empty()) {
        return 1;
    }
    if (suffix == "K" || suffix == "k") {
        return std::size_t{1} << 10;
    }
    if (suffix == "M" || suffix == "m") {
        return std::size_t{1} << 20;
    }
    if (suffix == "G" || suffix == "g") {
        return std::size_t{1} << 30;
    }
    return 0;
}

std::size_t parse_bytes(std::string_view variable, std::string_view text) {
    std::size_t count = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    std::size_t factor = suffix_factor(text.substr(static_cast<std::size_t>(end - text.data())));
    if (error != std::errc() || end == text.data() || factor == 0 || count == 0 ||
        count > std::numeric_limits<std::size_t>::max() / factor) {
        throw std::invalid_argument(std::string(variable) +
                                    " must be a number of bytes such as 67108864 or 64M, not '" +
                                    std::string(text) + "'");
    }
    return count * factor;
}

}  // namespace

std::span<const Setting> table() {
    return SETTINGS;
}

const Setting& setting(Key key) {
    return SETTINGS.at(static_cast<std::size_t>(key));
}

bool is_credential(Key key) {
    return key == Key::token || key == Key::api_key || key == Key::sim_token;
}

std::vector<std::string> environment_without_credentials() {
    std::vector<std::string> kept;
    for (const auto& entry : process::environment()) {
        auto name = std::string_view(entry).substr(0, entry.find('='));
        bool secret = std::any_of(SETTINGS.begin(), SETTINGS.end(), [&](const Setting& each) {
            return is_credential(each.key) && each.variable == name;
        });
        if (!secret) {
            kept.push_back(entry);
        }
    }
    return kept;
}

std::optional<std::string> value(Key key) {
    std::string variable(setting(key).variable);
    const char* text = std::getenv(variable.c_str());
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

namespace {

const Setting& setting_of_kind(Key key, Kind kind) {
    const auto& entry = setting(key);
    if (entry.kind != kind) {
        throw std::logic_error(std::string(entry.variable) + " is read as a value of another kind");
    }
    return entry;
}

}  // namespace

std::chrono::milliseconds seconds_limit(Key key) {
    const auto& entry = setting_of_kind(key, Kind::seconds);
    return parse_seconds(entry.variable, value(key).value_or(unquoted(entry.fallback)));
}

std::size_t bytes_limit(Key key) {
    const auto& entry = setting_of_kind(key, Kind::bytes);
    return parse_bytes(entry.variable, value(key).value_or(unquoted(entry.fallback)));
}

std::string URL_API() {
    return value(Key::api_url).value_or(unquoted(setting(Key::api_url).fallback));
}

std::string NORVA_ENV() {
    return value(Key::environment).value_or(unquoted(setting(Key::environment).fallback));
}

}  // namespace norva_core::settings
