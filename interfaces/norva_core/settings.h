#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Implemented in toolkit/runtime/settings.cpp. Every environment variable norva reads of its own
// and every limit it keeps stand in one table; the README's table of variables is checked
// against it. A limit whose variable holds no number of seconds throws std::invalid_argument.
namespace norva_core::settings {

enum class Key {
    api_url,
    environment,
    home,
    token,
    api_key,
    organization_id,
    ca_bundle,
    log_level,
    sim_timeout,
    sim_max_message,
    no_color,
    force_color,
    platform_connect_limit,
    platform_stall_limit,
    registration_limit,
    compute_connect_limit,
    sim_start_limit,
    sim_idle_limit,
    sim_stall_limit,
    sim_token,
};

// How a setting's text is read: each kind has one reader below (text: value).
enum class Kind { text, seconds, bytes };

struct Setting {
    Key key;
    Kind kind;
    std::string_view variable;
    // As the README shows it: a value, or what applies when the variable is not set.
    std::string_view fallback;
    std::string_view meaning;
    // Where it is read.
    std::string_view read_by;
};

// Every setting, in the README's order.
std::span<const Setting> table();

const Setting& setting(Key key);

// The variables that hold a secret (the platform token, the node's API key, a served sim's
// token): programs norva starts that are not its own (simulators) never see them.
bool is_credential(Key key);

// This process's environment as NAME=VALUE entries without the credentials.
std::vector<std::string> environment_without_credentials();

// The variable's value when it is set and not empty.
std::optional<std::string> value(Key key);

// A limit in seconds (fractions allowed): the variable's value, else the table's fallback.
std::chrono::milliseconds seconds_limit(Key key);

// A limit in bytes (a whole number, with a K, M or G suffix for KiB, MiB, GiB): the variable's
// value, else the table's fallback. Throws std::invalid_argument naming the variable.
std::size_t bytes_limit(Key key);

// Platform base address without "/v1": NORVA_API_URL, default "https://api.norva.dev".
std::string URL_API();

// Environment name: NORVA_ENV, default "prod".
std::string NORVA_ENV();

}  // namespace norva_core::settings
