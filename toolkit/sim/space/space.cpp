#include "norva_core/space.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>

#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core {
namespace {

using Json = nlohmann::ordered_json;
using namespace sim::space_shape;

const std::set<std::string> DTYPES{"float16", "float32", "float64", "int8",   "int16", "int32",
                                   "int64",   "uint8",   "uint16",  "uint32", "uint64"};

[[noreturn]] void invalid(const std::string& where, const std::string& what) {
    throw std::invalid_argument(where.empty() ? what : where + ": " + what);
}

bool is_whole(const Json& value) {
    return value.is_number_integer();
}

long long positive_whole(const Json& space, const char* field, const std::string& where) {
    if (!space.contains(field) || !is_whole(space.at(field)) ||
        space.at(field).get<long long>() < 1) {
        invalid(where, std::string("'") + field + "' must be a whole number of at least 1");
    }
    return space.at(field).get<long long>();
}

// What one value of a space may hold in all: past this a single sample or check would take
// gigabytes, and no message could carry the value anyway.
constexpr std::size_t MAX_ELEMENTS = std::size_t{1} << 24;
constexpr std::size_t MAX_DIMENSIONS = 64;

// Counts the elements of one value of the space being checked, across all its parts.
class ElementBudget {
  public:
    void take(std::size_t count, const std::string& where) {
        if (count > MAX_ELEMENTS - used_) {
            invalid(where, "a value of this space would hold more than " +
                               std::to_string(MAX_ELEMENTS) + " elements");
        }
        used_ += count;
    }

  private:
    std::size_t used_ = 0;
};

void check_shape(const Json& space, const std::string& where, ElementBudget& budget) {
    if (!space.contains("shape") || !space.at("shape").is_array()) {
        invalid(where, "a box needs 'shape', a list of sizes such as [3]");
    }
    if (space.at("shape").size() > MAX_DIMENSIONS) {
        invalid(where, "'shape' may have at most " + std::to_string(MAX_DIMENSIONS) + " sizes");
    }
    std::size_t count = 1;
    for (const auto& size : space.at("shape")) {
        if (!is_whole(size) || size.get<long long>() < 0) {
            invalid(where, "'shape' must list whole sizes such as [3]");
        }
        auto extent = size.get<unsigned long long>();
        count = extent > MAX_ELEMENTS || count * extent > MAX_ELEMENTS ? MAX_ELEMENTS + 1
                                                                       : count * extent;
    }
    budget.take(count, where);
}

void check_box(const Json& space, const std::string& where, ElementBudget& budget) {
    check_shape(space, where, budget);
    auto dtype = dtype_of(space);
    if (!space.value("dtype", Json("float32")).is_string() || !DTYPES.contains(dtype)) {
        invalid(where, "'dtype' must be one of float32, float64, int64, uint8, ...");
    }
    auto shape = shape_of(space);
    std::vector<double> low, high;
    for (const char* field : {"low", "high"}) {
        if (!space.contains(field)) {
            invalid(where, std::string("a box needs '") + field + "'");
        }
        try {
            (field[0] == 'l' ? low : high) = bounds_of(space.at(field), shape);
        } catch (const std::invalid_argument&) {
            invalid(where, std::string("'") + field + "' must be a number or an array of shape " +
                               space.at("shape").dump());
        }
    }
    for (std::size_t i = 0; i < low.size(); ++i) {
        if (std::isnan(low[i]) || std::isnan(high[i]) || low[i] > high[i]) {
            invalid(where, "'low' must not be above 'high' (element " + std::to_string(i) +
                               ": low " + text_forms::float_repr(low[i]) + ", high " +
                               text_forms::float_repr(high[i]) + ")");
        }
    }
}

void check(const Json& space, const std::string& where, ElementBudget& budget) {
    if (!space.is_object() || !space.contains("type") || !space.at("type").is_string()) {
        invalid(where, "a space must be an object with a 'type'");
    }
    auto type = space.at("type").get<std::string>();
    if (type == "box") {
        check_box(space, where, budget);
    } else if (type == "discrete") {
        positive_whole(space, "n", where);
        budget.take(1, where);
        if (space.contains("start") && !is_whole(space.at("start"))) {
            invalid(where, "'start' must be a whole number");
        }
    } else if (type == "multi_discrete") {
        if (!space.contains("nvec") || !space.at("nvec").is_array() || space.at("nvec").empty()) {
            invalid(where, "'nvec' must be a non-empty list of whole numbers such as [2, 3]");
        }
        budget.take(space.at("nvec").size(), where);
        for (const auto& n : space.at("nvec")) {
            if (!is_whole(n) || n.get<long long>() < 1) {
                invalid(where, "'nvec' must list whole numbers of at least 1");
            }
        }
    } else if (type == "multi_binary") {
        budget.take(static_cast<std::size_t>(positive_whole(space, "n", where)), where);
    } else if (type == "dict") {
        if (!space.contains("spaces") || !space.at("spaces").is_object()) {
            invalid(where, "a dict needs 'spaces', an object of named spaces");
        }
        for (const auto& [key, item] : space.at("spaces").items()) {
            check(item, where.empty() ? "'" + key + "'" : where + "." + "'" + key + "'", budget);
        }
    } else if (type == "tuple") {
        if (!space.contains("spaces") || !space.at("spaces").is_array()) {
            invalid(where, "a tuple needs 'spaces', a list of spaces");
        }
        std::size_t index = 0;
        for (const auto& item : space.at("spaces")) {
            check(item, where + "[" + std::to_string(index++) + "]", budget);
        }
    } else {
        invalid(where, "unknown space type '" + type +
                           "' (known: box, discrete, multi_discrete, multi_binary, dict, tuple)");
    }
}

double sample_real(double low, double high, std::mt19937_64& random) {
    bool bounded_low = std::isfinite(low);
    bool bounded_high = std::isfinite(high);
    if (bounded_low && bounded_high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    }
    if (bounded_low) {
        return low + std::exponential_distribution<double>(1.0)(random);
    }
    if (bounded_high) {
        return high - std::exponential_distribution<double>(1.0)(random);
    }
    return std::normal_distribution<double>(0.0, 1.0)(random);
}

long long sample_whole(double low, double high, std::mt19937_64& random) {
    // Unbounded integer boxes are sampled near their one bound, or near zero.
    constexpr double reach = 1000.0;
    double from =
        std::isfinite(low) ? std::ceil(low) : (std::isfinite(high) ? high - reach : -reach);
    double to = std::isfinite(high) ? std::floor(high) : from + 2 * reach;
    return std::uniform_int_distribution<long long>(static_cast<long long>(from),
                                                    static_cast<long long>(to))(random);
}

Json sample_box(const Json& space, std::mt19937_64& random) {
    auto shape = shape_of(space);
    auto low = bounds_of(space.at("low"), shape);
    auto high = bounds_of(space.at("high"), shape);
    auto dtype = dtype_of(space);
    bool integer = is_integer_dtype(dtype);
    std::size_t index = 0;
    std::function<Json(std::size_t)> build = [&](std::size_t depth) -> Json {
        if (depth == shape.size()) {
            std::size_t at = index++;
            if (integer) {
                return sample_whole(low[at], high[at], random);
            }
            double number = sample_real(low[at], high[at], random);
            if (dtype != "float64") {
                // The value the simulator will see after its own float32 conversion.
                number =
                    std::clamp(static_cast<double>(static_cast<float>(number)), low[at], high[at]);
            }
            return number;
        }
        Json array = Json::array();
        for (std::size_t i = 0; i < shape[depth]; ++i) {
            array.push_back(build(depth + 1));
        }
        return array;
    };
    return build(0);
}

Json sample(const Json& space, std::mt19937_64& random) {
    const auto& type = space.at("type").get_ref<const std::string&>();
    if (type == "box") {
        return sample_box(space, random);
    }
    if (type == "discrete") {
        long long start = space.value("start", 0LL);
        return std::uniform_int_distribution<long long>(
            start, start + space.at("n").get<long long>() - 1)(random);
    }
    if (type == "multi_discrete") {
        Json out = Json::array();
        for (const auto& n : space.at("nvec")) {
            out.push_back(
                std::uniform_int_distribution<long long>(0, n.get<long long>() - 1)(random));
        }
        return out;
    }
    if (type == "multi_binary") {
        Json out = Json::array();
        for (long long i = 0; i < space.at("n").get<long long>(); ++i) {
            out.push_back(std::uniform_int_distribution<int>(0, 1)(random));
        }
        return out;
    }
    if (type == "dict") {
        Json out = Json::object();
        for (const auto& [key, item] : space.at("spaces").items()) {
            out[key] = sample(item, random);
        }
        return out;
    }
    Json out = Json::array();
    for (const auto& item : space.at("spaces")) {
        out.push_back(sample(item, random));
    }
    return out;
}

}  // namespace

Space Space::from_json(const Json& description) {
    ElementBudget budget;
    check(description, "", budget);
    return Space(description);
}

Json Space::sample(std::uint64_t seed) const {
    std::mt19937_64 random(seed);
    return norva_core::sample(description_, random);
}

}  // namespace norva_core
