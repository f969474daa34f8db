#include <fmt/format.h>

#include <cmath>
#include <string_view>

#include "norva_core/space.h"
#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core {
namespace {

using Json = nlohmann::ordered_json;
using namespace sim::space_shape;

// Where inside the value a walk is, kept on the stack so that a member costs no allocation;
// written out only for a value that is not one.
struct Path {
    const Path* parent = nullptr;
    std::string_view key{};
    std::size_t index = 0;
    bool is_index = false;

    Path at(std::string_view name) const { return {this, name, 0, false}; }
    Path at(std::size_t position) const { return {this, {}, position, true}; }

    // A key may be a client's, undeclared: each is quoted short.
    std::string text() const {
        if (!parent) {
            return text_forms::quoted(key);
        }
        auto above = parent->text();
        if (is_index) {
            return above + "[" + std::to_string(index) + "]";
        }
        // The keys of a dict at the top name themselves: "gear", not "observation.gear".
        return parent->parent ? above + "." + text_forms::quoted(key) : text_forms::quoted(key);
    }
};

using Mismatch = std::optional<std::string>;

Mismatch wrong(const Path& path, const std::string& reason) {
    return path.text() + ": " + reason;
}

std::string shown(const Json& value) {
    if (value.is_number_float()) {
        return text_forms::float_repr(value.get<double>());
    }
    return text_forms::quoted(value.dump());
}

std::string kind_of(const Json& value) {
    if (value.is_array()) {
        return fmt::format("a list of {}", value.size());
    }
    if (value.is_object()) {
        return "an object";
    }
    if (value.is_string()) {
        return "a string";
    }
    if (value.is_boolean()) {
        return "true or false";
    }
    if (value.is_null()) {
        return "null";
    }
    return shown(value);
}

std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string out = "(";
    for (auto size : shape) {
        out += std::to_string(size) + (shape.size() == 1 ? ",)" : ", ");
    }
    if (shape.size() != 1) {
        out = (shape.empty() ? out : out.substr(0, out.size() - 2)) + ")";
    }
    return out;
}

// The shape the value's first elements show, as far as it is made of lists.
std::vector<std::size_t> apparent_shape(const Json& value) {
    std::vector<std::size_t> shape;
    for (const Json* item = &value; item->is_array(); item = &item->front()) {
        shape.push_back(item->size());
        if (item->empty()) {
            break;
        }
    }
    return shape;
}

Mismatch box_element(const Json& value, const Path& path, double low, double high, bool integer,
                     Bounds bounds) {
    if (!value.is_number()) {
        return wrong(path, kind_of(value) + " where a number is declared");
    }
    if (integer && !value.is_number_integer()) {
        return wrong(path, shown(value) + " where a whole number is declared");
    }
    double number = value.get<double>();
    if (std::isnan(number)) {
        return wrong(path, "NaN");
    }
    if (bounds == Bounds::ignored) {
        return std::nullopt;
    }
    // Float32 values travel as decimal text; allow for that rounding at the bounds.
    double slack = integer ? 0.0 : 1e-6 * std::max(1.0, std::max(std::abs(low), std::abs(high)));
    if (number < low - slack) {
        return wrong(path,
                     fmt::format("{} below low {}", shown(value), text_forms::float_repr(low)));
    }
    if (number > high + slack) {
        return wrong(path,
                     fmt::format("{} above high {}", shown(value), text_forms::float_repr(high)));
    }
    return std::nullopt;
}

class BoxWalk {
  public:
    BoxWalk(const Json& space, Bounds bounds)
        : shape_(shape_of(space)),
          low_(bounds_of(space.at("low"), shape_)),
          high_(bounds_of(space.at("high"), shape_)),
          integer_(is_integer_dtype(dtype_of(space))),
          bounds_(bounds) {}

    Mismatch check(const Json& value, const Path& path) {
        if (!shape_.empty() && (!value.is_array() || apparent_shape(value) != shape_)) {
            if (value.is_array()) {
                return wrong(path, "shape " + shape_text(apparent_shape(value)) + " where " +
                                       shape_text(shape_) + " is declared");
            }
            return wrong(path, kind_of(value) + " where a list of shape " + shape_text(shape_) +
                                   " is declared");
        }
        return walk(value, path, 0);
    }

  private:
    Mismatch walk(const Json& item, const Path& path, std::size_t depth) {
        if (depth == shape_.size()) {
            auto at = index_++;
            return box_element(item, path, low_[at], high_[at], integer_, bounds_);
        }
        // The first elements matched the shape; a ragged list shows further in.
        if (!item.is_array() || item.size() != shape_[depth]) {
            return wrong(path, kind_of(item) + " where " + std::to_string(shape_[depth]) +
                                   " values are declared");
        }
        for (std::size_t i = 0; i < item.size(); ++i) {
            if (auto found = walk(item[i], path.at(i), depth + 1)) {
                return found;
            }
        }
        return std::nullopt;
    }

    std::vector<std::size_t> shape_;
    std::vector<double> low_;
    std::vector<double> high_;
    bool integer_;
    Bounds bounds_;
    std::size_t index_ = 0;
};

Mismatch whole_in(const Json& value, const Path& path, long long low, long long high_exclusive) {
    if (!value.is_number_integer()) {
        return wrong(path, kind_of(value) + " where a whole number is declared");
    }
    auto number = value.get<long long>();
    if (number < low || number >= high_exclusive) {
        return wrong(
            path, fmt::format("{} outside the values {} to {}", number, low, high_exclusive - 1));
    }
    return std::nullopt;
}

Mismatch list_of(const Json& value, const Path& path, std::size_t count, const char* what) {
    if (!value.is_array()) {
        return wrong(
            path, fmt::format("{} where a list of {} {} is declared", kind_of(value), count, what));
    }
    if (value.size() != count) {
        return wrong(path, fmt::format("{} {} where {} are declared", value.size(), what, count));
    }
    return std::nullopt;
}

Mismatch mismatch_of(const Json& space, const Json& value, const Path& path, Bounds bounds) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        return BoxWalk(space, bounds).check(value, path);
    }
    if (type == "discrete") {
        long long start = space.value("start", 0LL);
        return whole_in(value, path, start, start + space.at("n").get<long long>());
    }
    if (type == "multi_discrete") {
        const auto& nvec = space.at("nvec");
        if (auto found = list_of(value, path, nvec.size(), "values")) {
            return found;
        }
        for (std::size_t i = 0; i < nvec.size(); ++i) {
            if (auto found = whole_in(value[i], path.at(i), 0, nvec[i].get<long long>())) {
                return found;
            }
        }
        return std::nullopt;
    }
    if (type == "multi_binary") {
        if (auto found = list_of(value, path, space.at("n").get<std::size_t>(), "values")) {
            return found;
        }
        for (std::size_t i = 0; i < value.size(); ++i) {
            const auto& bit = value[i];
            if (!bit.is_boolean() && !(bit.is_number_integer() && (bit == 0 || bit == 1))) {
                return wrong(path.at(i), shown(bit) + " where 0 or 1 is declared");
            }
        }
        return std::nullopt;
    }
    const auto& spaces = space.at("spaces");
    if (type == "dict") {
        if (!value.is_object()) {
            return wrong(path, kind_of(value) + " where an object is declared");
        }
        for (const auto& [key, item] : spaces.items()) {
            auto inside = path.at(key);
            if (!value.contains(key)) {
                return wrong(inside, "missing");
            }
            if (auto found = mismatch_of(item, value.at(key), inside, bounds)) {
                return found;
            }
        }
        for (const auto& [key, item] : value.items()) {
            if (!spaces.contains(key)) {
                return wrong(path.at(key), "not declared");
            }
        }
        return std::nullopt;
    }
    if (auto found = list_of(value, path, spaces.size(), "items")) {
        return found;
    }
    for (std::size_t i = 0; i < spaces.size(); ++i) {
        if (auto found = mismatch_of(spaces[i], value[i], path.at(i), bounds)) {
            return found;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> Space::mismatch(const Json& value, std::string_view name,
                                           Bounds bounds) const {
    return mismatch_of(description_, value, Path{nullptr, name}, bounds);
}

bool Space::contains(const Json& value) const {
    return !mismatch(value, "value");
}

}  // namespace norva_core
