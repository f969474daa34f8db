#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <vector>

// The pieces of a box description that membership, sampling, text and variables all need.
namespace norva_core::sim::space_shape {

using Json = nlohmann::ordered_json;

std::vector<std::size_t> shape_of(const Json& box);
std::size_t element_count(const std::vector<std::size_t>& shape);
bool is_integer_dtype(const std::string& dtype);
std::string dtype_of(const Json& box);

// The bound for every element in row-major order; a single number applies to all.
std::vector<double> bounds_of(const Json& bound, const std::vector<std::size_t>& shape);

}  // namespace norva_core::sim::space_shape
