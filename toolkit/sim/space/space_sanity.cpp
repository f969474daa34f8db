#include "sim/space/space_sanity.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core::sim {
namespace {

using namespace space_shape;

// Trainers expect actions scaled to [-1, 1]; their policies' outputs are.
constexpr double NORMALISED = 1.0;

std::string named(const std::string& where) {
    return where.empty() ? "the space" : where;
}

void box_remarks(const Json& box, const std::string& where, SpaceRole role,
                 std::vector<SpaceRemark>& remarks) {
    auto shape = shape_of(box);
    auto low = bounds_of(box.at("low"), shape);
    auto high = bounds_of(box.at("high"), shape);
    bool integer = is_integer_dtype(dtype_of(box));
    for (std::size_t i = 0; i < low.size(); ++i) {
        if (low[i] == high[i]) {
            remarks.push_back(
                {false, fmt::format("{}: element {} has low equal to high ({}); it "
                                    "can hold one value only",
                                    named(where), i, text_forms::float_repr(low[i]))});
            return;
        }
    }
    bool unbounded = std::any_of(low.begin(), low.end(), [](double v) { return std::isinf(v); }) ||
                     std::any_of(high.begin(), high.end(), [](double v) { return std::isinf(v); });
    if (unbounded && !integer) {
        remarks.push_back({false, named(where) + ": its bounds are infinite; trainers scale "
                                                 "observations and actions by their bounds, so "
                                                 "give the range the values really take"});
        return;
    }
    if (role == SpaceRole::action && !integer) {
        auto [lowest, highest] = std::pair(*std::min_element(low.begin(), low.end()),
                                           *std::max_element(high.begin(), high.end()));
        if (!low.empty() && (lowest < -NORMALISED || highest > NORMALISED)) {
            remarks.push_back(
                {false, fmt::format("{}: actions range from {} to {}; trainers' policies give "
                                    "actions within [-1, 1], so scale them in the simulator",
                                    named(where), text_forms::float_repr(lowest),
                                    text_forms::float_repr(highest))});
        }
    }
}

void collect(const Json& space, const std::string& where, SpaceRole role,
             std::vector<SpaceRemark>& remarks) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        box_remarks(space, where, role, remarks);
    } else if (type == "dict" || type == "tuple") {
        const auto& spaces = space.at("spaces");
        if (spaces.empty()) {
            remarks.push_back(
                {true, fmt::format("{}: a {} with no spaces holds nothing", named(where), type)});
        }
        std::size_t index = 0;
        for (const auto& [key, item] : spaces.items()) {
            auto inner = type == "dict" ? (where.empty() ? key : where + "." + key)
                                        : where + "[" + std::to_string(index++) + "]";
            collect(item, inner, role, remarks);
        }
    }
}

}  // namespace

std::vector<SpaceRemark> space_remarks(const Space& space, SpaceRole role) {
    std::vector<SpaceRemark> remarks;
    collect(space.json(), "", role, remarks);
    return remarks;
}

}  // namespace norva_core::sim
