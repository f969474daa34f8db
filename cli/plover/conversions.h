#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace plover {

// The option's text as a whole number, or an error naming the option and the value.
long _to_whole_number(const std::string& option, const std::string& text);

// The option's text read as a JSON object, or an error naming the option.
nlohmann::ordered_json _to_mapping(const std::string& option, const std::string& text);

}  // namespace plover
