#include <simdjson.h>

#include <algorithm>
#include <new>

#include "sim/common/wire_json.h"

namespace norva_core::sim::wire_json {
namespace {

using Json = nlohmann::ordered_json;

// Larger documents are rare and take the ordinary reader, so that no reader keeps the room of
// a huge one.
constexpr std::size_t MOST_BYTES = std::size_t{256} * 1024;
constexpr std::size_t SMALLEST_ROOM = 4096;

Json converted(simdjson::dom::element element) {
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
        case Type::OBJECT: {
            Json out(Json::value_t::object);
            auto object = simdjson::dom::object(element);
            auto& members = out.get_ref<Json::object_t&>();
            members.reserve(object.size());
            for (auto field : object) {
                // A repeated key keeps its first place and its last value, as parse() does.
                auto repeated =
                    std::find_if(members.begin(), members.end(),
                                 [&](const auto& member) { return member.first == field.key; });
                if (repeated != members.end()) {
                    repeated->second = converted(field.value);
                } else {
                    members.emplace_back(std::string(field.key), converted(field.value));
                }
            }
            return out;
        }
        case Type::ARRAY: {
            Json out(Json::value_t::array);
            auto array = simdjson::dom::array(element);
            auto& items = out.get_ref<Json::array_t&>();
            items.reserve(array.size());
            for (auto item : array) {
                items.push_back(converted(item));
            }
            return out;
        }
        case Type::STRING:
            return std::string(std::string_view(element));
        case Type::INT64:
            return std::int64_t(element);
        case Type::UINT64:
            return std::uint64_t(element);
        case Type::DOUBLE:
            return double(element);
        case Type::BOOL:
            return bool(element);
        case Type::NULL_VALUE:
            break;
    }
    return nullptr;
}

}  // namespace

struct Reader::Parser {
    simdjson::dom::parser parser{MOST_BYTES};
    // The text with the zeroed room after it that the parser reads past its end.
    std::string padded;
};

Reader::Reader() : parser_(std::make_unique<Parser>()) {
    // The parser keeps this depth as it grows; deeper text is an error, told by parse().
    if (parser_->parser.allocate(SMALLEST_ROOM, json_input::MAX_DEPTH) != simdjson::SUCCESS) {
        throw std::bad_alloc();
    }
}

Reader::~Reader() = default;

Json Reader::parse(std::string_view text) {
    if (text.size() > MOST_BYTES) {
        return wire_json::parse(text);
    }
    auto& padded = parser_->padded;
    padded.assign(text);
    padded.append(simdjson::SIMDJSON_PADDING, '\0');
    auto document = parser_->parser.parse(padded.data(), text.size(), false);
    if (document.error() != simdjson::SUCCESS) {
        // Non-finite numbers, depth, numbers out of range and broken text: the ordinary reader
        // tells each as it always has.
        return wire_json::parse(text);
    }
    return converted(document.value_unsafe());
}

}  // namespace norva_core::sim::wire_json
