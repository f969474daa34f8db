#include "conversions.h"

#include <charconv>
#include <stdexcept>

#include "norva_core/json_input.h"

namespace plover {

long _to_whole_number(const std::string& option, const std::string& text) {
    long value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    auto [stop, error] = std::from_chars(begin, end, value);
    if (begin == end || error != std::errc() || stop != end) {
        throw std::invalid_argument("Invalid value for '" + option + "': '" + text +
                                    "' is not a valid integer.");
    }
    return value;
}

long _to_count(const std::string& option, const std::string& text, long smallest,
               const char* things) {
    long count = _to_whole_number(option, text);
    if (count < smallest) {
        throw std::invalid_argument("Invalid value for '" + option + "': " + text + " is not " +
                                    (smallest > 0 ? "a positive" : "a non-negative") +
                                    " number of " + things + ".");
    }
    return count;
}

std::chrono::milliseconds _to_duration(const std::string& option, const std::string& text) {
    double seconds = 0;
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [stop, error] = std::from_chars(begin, end, seconds);
    if (begin == end || error != std::errc() || stop != end || !(seconds > 0) || seconds > 1e9) {
        throw std::invalid_argument("Invalid value for '" + option + "': '" + text +
                                    "' is not a positive number of seconds.");
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

nlohmann::ordered_json _to_mapping(const std::string& option, const std::string& text) {
    nlohmann::ordered_json value;
    try {
        value = norva_core::json_input::parse(text);
    } catch (const norva_core::json_input::InputError&) {
        value = nullptr;
    }
    if (!value.is_object()) {
        throw std::invalid_argument("Invalid value for '" + option + "': '" + text +
                                    "' is not a JSON object.");
    }
    return value;
}

std::string _target(const std::optional<std::string>& path,
                    const std::optional<std::string>& address) {
    if (!path && !address) {
        throw std::invalid_argument("Either `path` or `address` must be provided");
    }
    return path && !path->empty() ? *path : address.value_or("");
}

}  // namespace plover
