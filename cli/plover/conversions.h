#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace plover {

// The option's text as a whole number, or an error naming the option and the value.
long _to_whole_number(const std::string& option, const std::string& text);

// The option's text as a whole number of `things` of at least `smallest` (0 or 1), or an error
// naming the option.
long _to_count(const std::string& option, const std::string& text, long smallest,
               const char* things);

// The option's text as a positive number of seconds, or an error naming the option.
std::chrono::milliseconds _to_duration(const std::string& option, const std::string& text);

// The option's text read as a JSON object, or an error naming the option.
nlohmann::ordered_json _to_mapping(const std::string& option, const std::string& text);

// What validate and benchmark work on: the path unless it is absent or empty, else the address
// unchanged. Neither given is an error.
std::string _target(const std::optional<std::string>& path,
                    const std::optional<std::string>& address);

}  // namespace plover
