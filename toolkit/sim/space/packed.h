#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The values of a space as arrays, as packed vectors carry them: N values of each leaf of the
// space (a dict or a tuple has one leaf for every box, discrete, multi-discrete and multi-binary
// inside it), each leaf's in one tensor of little-endian bytes, row-major, N first.
namespace norva_core::sim::packed {

using Json = nlohmann::ordered_json;

enum class Dtype {
    float16,
    float32,
    float64,
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    boolean,
};

// numpy's names ("float32", "bool", ...).
std::optional<Dtype> dtype_named(std::string_view name);
std::string_view name_of(Dtype dtype);
std::size_t size_of(Dtype dtype);

struct Tensor {
    // The leaf's place in its space: "" for a space of one leaf, dict keys and tuple places
    // joined with ".", "position" or "1.speed" say.
    std::string name;
    Dtype dtype = Dtype::float32;
    // N first.
    std::vector<std::uint64_t> shape;
    std::string data;
};

struct Leaf {
    std::string name;
    Dtype dtype;
    // Of one value.
    std::vector<std::size_t> shape;
    std::size_t elements;
};

// How the values of one space lie in tensors: a box as its dtype (float32 when it names none), a
// discrete and a multi-discrete as int64, a multi-binary as int8.
class Layout {
  public:
    // Throws std::invalid_argument for a description it cannot lay out.
    explicit Layout(const Json& space);

    const std::vector<Leaf>& leaves() const { return leaves_; }
    // One tensor of each leaf with `rows` values, all zero.
    std::vector<Tensor> zeros(std::size_t rows) const;
    // Writes the value into its row of every tensor; what does not fit (its shape, a number
    // that is not a whole one where the dtype holds whole numbers, one outside the dtype's
    // range) is said, naming its place, and leaves the row zero.
    std::optional<std::string> put(std::vector<Tensor>& tensors, std::size_t row,
                                   const Json& value) const;
    // Throws std::invalid_argument naming what differs when the tensors are not of this layout
    // with `rows` values each.
    void check(std::span<const Tensor> tensors, std::size_t rows) const;
    // The value of a row, as JSON writes it: numbers of float dtypes as doubles, of integer ones
    // as integers.
    Json get(std::span<const Tensor> tensors, std::size_t row) const;

  private:
    Json space_;
    std::vector<Leaf> leaves_;
};

// The layout of actions sent as one tensor: only for a space that is one leaf (a box, discrete,
// multi-discrete or multi-binary); nothing for the others, whose actions travel as JSON.
std::optional<Layout> action_layout(const Json& space);

}  // namespace norva_core::sim::packed
