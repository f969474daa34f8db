#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "norva_core/space.h"
#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core {
namespace {

using Json = nlohmann::ordered_json;
using namespace sim::space_shape;

std::string number_text(double value, bool integer) {
    if (integer && std::isfinite(value)) {
        return fmt::format("{}", static_cast<long long>(value));
    }
    return text_forms::float_repr(value);
}

// One bound: a single number when every element shares it, else the array laid out by shape.
std::string bound_text(const std::vector<double>& values, const std::vector<std::size_t>& shape,
                       bool integer) {
    bool uniform = std::all_of(values.begin(), values.end(), [&](double v) {
        return v == values.front() || (std::isnan(v) && std::isnan(values.front()));
    });
    if (uniform && !values.empty()) {
        return number_text(values.front(), integer);
    }
    std::size_t index = 0;
    std::function<std::string(std::size_t)> nest = [&](std::size_t depth) -> std::string {
        if (depth == shape.size()) {
            return number_text(values[index++], integer);
        }
        std::string out = "[";
        for (std::size_t i = 0; i < shape[depth]; ++i) {
            out += (i ? " " : "") + nest(depth + 1);
        }
        return out + "]";
    };
    return nest(0);
}

std::string shape_text(const std::vector<std::size_t>& shape) {
    if (shape.size() == 1) {
        return fmt::format("({},)", shape.front());
    }
    return fmt::format("({})", fmt::join(shape, ", "));
}

std::string quoted_key(const std::string& key) {
    return "'" + key + "'";
}

std::string text_of(const Json& space) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        auto shape = shape_of(space);
        auto dtype = dtype_of(space);
        bool integer = is_integer_dtype(dtype);
        return fmt::format("Box({}, {}, {}, {})",
                           bound_text(bounds_of(space.at("low"), shape), shape, integer),
                           bound_text(bounds_of(space.at("high"), shape), shape, integer),
                           shape_text(shape), dtype);
    }
    if (type == "discrete") {
        long long start = space.value("start", 0LL);
        auto n = space.at("n").get<long long>();
        return start == 0 ? fmt::format("Discrete({})", n)
                          : fmt::format("Discrete({}, start={})", n, start);
    }
    if (type == "multi_discrete") {
        std::vector<long long> nvec = space.at("nvec").get<std::vector<long long>>();
        return fmt::format("MultiDiscrete([{}])", fmt::join(nvec, " "));
    }
    if (type == "multi_binary") {
        return fmt::format("MultiBinary({})", space.at("n").get<long long>());
    }
    std::vector<std::string> parts;
    if (type == "dict") {
        for (const auto& [key, item] : space.at("spaces").items()) {
            parts.push_back(quoted_key(key) + ": " + text_of(item));
        }
        return fmt::format("Dict({})", fmt::join(parts, ", "));
    }
    for (const auto& item : space.at("spaces")) {
        parts.push_back(text_of(item));
    }
    return fmt::format("Tuple({})", fmt::join(parts, ", "));
}

}  // namespace

std::string Space::to_string() const {
    return text_of(description_);
}

}  // namespace norva_core
