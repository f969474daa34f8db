#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string_view>

// The one reader for JSON that comes from outside (simulators, clients, the platform, files,
// Docker): such text may be hostile, so its nesting is bounded before anything walks it.
// Implemented in toolkit/runtime/json_input.cpp.
namespace norva_core::json_input {

inline constexpr int MAX_DEPTH = 256;

// Text that cannot be read. what() completes a sentence such as "the answer is ...":
// "not JSON", "JSON with a number out of range in 'seed': 1e400" or "nested deeper than 256
// levels".
class InputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws InputError for text nested deeper than MAX_DEPTH; reads nothing else.
void check_depth(std::string_view text);

// Throws InputError for text that is not JSON or is nested too deep.
nlohmann::ordered_json parse(std::string_view text);

// Why text that nlohmann's parser discarded cannot be read: "not JSON", or, for valid JSON
// holding a number no double can hold, "JSON with a number out of range" with the place that
// held it, when it is inside an object or list, and the number, both quoted short.
InputError unreadable(std::string_view text);

}  // namespace norva_core::json_input
