#include "sim/space/space_shape.h"

#include <functional>
#include <numeric>
#include <stdexcept>

namespace norva_core::sim::space_shape {

std::vector<std::size_t> shape_of(const Json& box) {
    std::vector<std::size_t> shape;
    for (const auto& size : box.at("shape")) {
        shape.push_back(size.get<std::size_t>());
    }
    return shape;
}

std::size_t element_count(const std::vector<std::size_t>& shape) {
    return std::accumulate(shape.begin(), shape.end(), std::size_t{1}, std::multiplies<>());
}

bool is_integer_dtype(const std::string& dtype) {
    return dtype.find("int") != std::string::npos;
}

std::string dtype_of(const Json& box) {
    return box.value("dtype", std::string("float32"));
}

namespace {

void flatten(const Json& value, const std::vector<std::size_t>& shape, std::size_t depth,
             std::vector<double>& out) {
    if (depth == shape.size()) {
        if (!value.is_number()) {
            throw std::invalid_argument("bounds must be numbers");
        }
        out.push_back(value.get<double>());
        return;
    }
    if (!value.is_array() || value.size() != shape[depth]) {
        throw std::invalid_argument("bounds must be a number or an array of the shape");
    }
    for (const auto& item : value) {
        flatten(item, shape, depth + 1, out);
    }
}

}  // namespace

std::vector<double> bounds_of(const Json& bound, const std::vector<std::size_t>& shape) {
    if (bound.is_number()) {
        return std::vector<double>(element_count(shape), bound.get<double>());
    }
    std::vector<double> out;
    flatten(bound, shape, 0, out);
    return out;
}

}  // namespace norva_core::sim::space_shape
