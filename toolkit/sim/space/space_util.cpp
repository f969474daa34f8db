#include "norva_core/space_util.h"

#include <cmath>

#include "sim/space/space_shape.h"

namespace norva_core::space_util {
namespace {

using Json = nlohmann::ordered_json;
using namespace sim::space_shape;

std::string joined(const std::string& prefix, const std::string& name) {
    return prefix.empty() ? name : prefix + "." + name;
}

Json variable(const std::string& name, const char* type) {
    return Json{{"name", name}, {"type", type}};
}

void add_bounded(Json& entries, const std::string& name, const char* type, double low,
                 double high) {
    Json entry = variable(name, type);
    if (std::isfinite(low)) {
        entry["low"] = low;
    }
    if (std::isfinite(high)) {
        entry["high"] = high;
    }
    entries.push_back(std::move(entry));
}

void add_whole(Json& entries, const std::string& name, long long low, long long high) {
    Json entry = variable(name, "int");
    entry["low"] = low;
    entry["high"] = high;
    entries.push_back(std::move(entry));
}

// A leaf that stands alone still needs a name; it takes the index of its only element.
std::string leaf_name(const std::string& prefix) {
    return prefix.empty() ? "0" : prefix;
}

void collect(const Json& space, const std::string& prefix, Json& entries) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        auto shape = shape_of(space);
        auto low = bounds_of(space.at("low"), shape);
        auto high = bounds_of(space.at("high"), shape);
        bool integer = is_integer_dtype(dtype_of(space));
        for (std::size_t i = 0; i < low.size(); ++i) {
            std::string name =
                shape.empty() ? leaf_name(prefix) : joined(prefix, std::to_string(i));
            if (integer && std::isfinite(low[i]) && std::isfinite(high[i])) {
                add_whole(entries, name, static_cast<long long>(low[i]),
                          static_cast<long long>(high[i]));
            } else {
                add_bounded(entries, name, integer ? "int" : "float", low[i], high[i]);
            }
        }
    } else if (type == "discrete") {
        long long start = space.value("start", 0LL);
        add_whole(entries, leaf_name(prefix), start, start + space.at("n").get<long long>() - 1);
    } else if (type == "multi_discrete") {
        std::size_t index = 0;
        for (const auto& n : space.at("nvec")) {
            add_whole(entries, joined(prefix, std::to_string(index++)), 0, n.get<long long>() - 1);
        }
    } else if (type == "multi_binary") {
        for (long long i = 0; i < space.at("n").get<long long>(); ++i) {
            entries.push_back(variable(joined(prefix, std::to_string(i)), "bool"));
        }
    } else if (type == "dict") {
        for (const auto& [key, item] : space.at("spaces").items()) {
            collect(item, joined(prefix, key), entries);
        }
    } else {
        std::size_t index = 0;
        for (const auto& item : space.at("spaces")) {
            collect(item, joined(prefix, std::to_string(index++)), entries);
        }
    }
}

}  // namespace

Json convert_space_to_json(const Space& space) {
    Json entries = Json::array();
    collect(space.json(), "", entries);
    return entries;
}

}  // namespace norva_core::space_util
