#include "sim/common/wire_json.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "norva_core/json_input.h"

namespace norva_core::sim::wire_json {
namespace {

using Json = nlohmann::ordered_json;

// Non-finite numbers stand in the document as these strings while nlohmann's parser reads it.
constexpr std::string_view MARK = "\x01";
struct Word {
    std::string_view token;
    double value;
};
const std::array<Word, 3> WORDS{{{"-Infinity", -std::numeric_limits<double>::infinity()},
                                 {"Infinity", std::numeric_limits<double>::infinity()},
                                 {"NaN", std::numeric_limits<double>::quiet_NaN()}}};

std::string mark_words(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
            out += c;
            continue;
        }
        bool replaced = false;
        for (const auto& word : WORDS) {
            if (text.substr(i, word.token.size()) == word.token) {
                out += "\"\\u0001" + std::string(word.token) + '"';
                i += word.token.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += c;
        }
    }
    return out;
}

void unmark(Json& value) {
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (text.size() > 1 && text.compare(0, 1, MARK) == 0) {
            for (const auto& word : WORDS) {
                if (text.compare(1, std::string::npos, word.token) == 0) {
                    value = word.value;
                    return;
                }
            }
        }
    } else if (value.is_structured()) {
        for (auto& item : value) {
            unmark(item);
        }
    }
}

bool has_non_finite(const Json& value) {
    if (value.is_number_float()) {
        return !std::isfinite(value.get<double>());
    }
    if (value.is_structured()) {
        for (const auto& item : value) {
            if (has_non_finite(item)) {
                return true;
            }
        }
    }
    return false;
}

Json marked_copy(const Json& value) {
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (std::isnan(number)) {
            return std::string(MARK) + "NaN";
        }
        if (std::isinf(number)) {
            return std::string(MARK) + (number < 0 ? "-Infinity" : "Infinity");
        }
        return value;
    }
    if (value.is_object()) {
        Json out = Json::object();
        for (const auto& [key, item] : value.items()) {
            out[key] = marked_copy(item);
        }
        return out;
    }
    if (value.is_array()) {
        Json out = Json::array();
        for (const auto& item : value) {
            out.push_back(marked_copy(item));
        }
        return out;
    }
    return value;
}

}  // namespace

Json parse(std::string_view text) {
    json_input::check_depth(text);
    Json value = Json::parse(text, nullptr, false);
    if (!value.is_discarded()) {
        return value;
    }
    // Rare: only documents with non-finite numbers (or broken ones) take the slow path.
    auto marked = mark_words(text);
    value = Json::parse(marked, nullptr, false);
    if (value.is_discarded()) {
        throw json_input::unreadable(marked);
    }
    unmark(value);
    return value;
}

void append(std::string& text, const Json& value) {
    if (has_non_finite(value)) {
        text += dump(value);
        return;
    }
    // What Json::dump does, without a string of its own for every value.
    nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(text),
                                                  ' ');
    serializer.dump(value, false, false, 0);
}

std::string dump(const Json& value) {
    if (!has_non_finite(value)) {
        return value.dump();
    }
    std::string text = marked_copy(value).dump();
    for (const auto& word : WORDS) {
        std::string marked = "\"\\u0001" + std::string(word.token) + '"';
        for (auto at = text.find(marked); at != std::string::npos; at = text.find(marked, at)) {
            text.replace(at, marked.size(), word.token);
            at += word.token.size();
        }
    }
    return text;
}

}  // namespace norva_core::sim::wire_json
