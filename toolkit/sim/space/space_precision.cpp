#include "sim/space/space_precision.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core::sim {
namespace {

using Json = nlohmann::ordered_json;

// A binary float format narrower than a double: its significant bits, its smallest normal
// exponent and its largest finite number.
struct Format {
    int digits;
    int min_exponent;
    double max;
};

std::optional<Format> format_of(const std::string& dtype) {
    if (dtype == "float32") {
        return Format{std::numeric_limits<float>::digits,
                      std::numeric_limits<float>::min_exponent - 1,
                      std::numeric_limits<float>::max()};
    }
    if (dtype == "float16") {
        return Format{11, -14, 65504.0};
    }
    return std::nullopt;
}

// The number of the format nearest to a finite value, ties to even, as a conversion rounds.
double nearest(double value, const Format& format) {
    int exponent = 0;
    std::frexp(value, &exponent);
    int quantum = std::max(exponent - 1, format.min_exponent) - (format.digits - 1);
    double rounded = std::ldexp(std::nearbyint(std::ldexp(value, -quantum)), quantum);
    return std::abs(rounded) > format.max
               ? std::copysign(std::numeric_limits<double>::infinity(), value)
               : rounded;
}

// Whether the text a simulator wrote is a float32 in its shortest form ("0.1" for 0.1f): a
// simulator that computes in float32 writes that, and the trainer gets the very number it
// computed, though the text read as a double is another.
bool written_from_float32(double value, const Format& format) {
    if (format.digits != std::numeric_limits<float>::digits) {
        return false;
    }
    std::array<char, 32> text{};
    auto written = std::to_chars(text.begin(), text.end(), static_cast<float>(value));
    double back = 0;
    std::from_chars(text.begin(), written.ptr, back);
    return back == value;
}

class Walk {
  public:
    std::optional<InexactValue> found;

    void space(const Json& space, const Json& value, const std::string& place, bool top) {
        auto type = space.value("type", "");
        if (type == "box") {
            box(space, value, place);
        } else if (type == "dict" && value.is_object()) {
            for (const auto& [key, inner] : space.at("spaces").items()) {
                if (!found && value.contains(key)) {
                    auto quoted = text_forms::quoted(key);
                    this->space(inner, value.at(key), top ? quoted : place + "." + quoted, false);
                }
            }
        } else if (type == "tuple" && value.is_array()) {
            const auto& spaces = space.at("spaces");
            for (std::size_t i = 0; !found && i < spaces.size() && i < value.size(); ++i) {
                this->space(spaces[i], value[i], place + "[" + std::to_string(i) + "]", false);
            }
        }
    }

  private:
    void box(const Json& space, const Json& value, const std::string& place) {
        auto dtype = space_shape::dtype_of(space);
        auto format = format_of(dtype);
        if (!format) {
            return;
        }
        std::vector<std::size_t> at;
        elements(value, *format, at, [&](double number, double held) {
            std::string where = place;
            for (auto index : at) {
                where += "[" + std::to_string(index) + "]";
            }
            found = InexactValue{where, dtype, number, held};
        });
    }

    template <class Found>
    void elements(const Json& value, const Format& format, std::vector<std::size_t>& at,
                  const Found& report) {
        if (value.is_array()) {
            at.push_back(0);
            for (const auto& item : value) {
                elements(item, format, at, report);
                if (found) {
                    return;
                }
                ++at.back();
            }
            at.pop_back();
        } else if (value.is_number()) {
            double number = value.get<double>();
            if (std::isfinite(number)) {
                double held = nearest(number, format);
                if (held != number && !written_from_float32(number, format)) {
                    report(number, held);
                }
            }
        }
    }
};

}  // namespace

std::optional<InexactValue> first_inexact_value(const Space& space, const Json& value,
                                                const std::string& name) {
    Walk walk;
    walk.space(space.json(), value, text_forms::quoted(name), true);
    return walk.found;
}

}  // namespace norva_core::sim
