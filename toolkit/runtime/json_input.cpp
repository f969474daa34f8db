#include "norva_core/json_input.h"

#include <fmt/format.h>

namespace norva_core::json_input {

void check_depth(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_DEPTH) {
                throw InputError(fmt::format("nested deeper than {} levels", MAX_DEPTH));
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

nlohmann::ordered_json parse(std::string_view text) {
    check_depth(text);
    auto value = nlohmann::ordered_json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        throw unreadable(text);
    }
    return value;
}

InputError unreadable(std::string_view text) {
    try {
        auto value = nlohmann::ordered_json::parse(text);
        (void)value;
    } catch (const nlohmann::ordered_json::out_of_range&) {
        return InputError("JSON with a number out of range");
    } catch (const nlohmann::ordered_json::exception&) {
    }
    return InputError("not JSON");
}

}  // namespace norva_core::json_input
