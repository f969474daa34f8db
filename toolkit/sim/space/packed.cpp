#include "sim/space/packed.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "norva_core/text_forms.h"
#include "sim/space/space_shape.h"

namespace norva_core::sim::packed {
namespace {

// Tensors are little-endian on the wire, and their bytes are copied as this machine holds them.
static_assert(std::endian::native == std::endian::little);

struct DtypeName {
    Dtype dtype;
    std::string_view name;
    std::size_t size;
};

constexpr std::array<DtypeName, 12> DTYPES{{{Dtype::float16, "float16", 2},
                                            {Dtype::float32, "float32", 4},
                                            {Dtype::float64, "float64", 8},
                                            {Dtype::int8, "int8", 1},
                                            {Dtype::int16, "int16", 2},
                                            {Dtype::int32, "int32", 4},
                                            {Dtype::int64, "int64", 8},
                                            {Dtype::uint8, "uint8", 1},
                                            {Dtype::uint16, "uint16", 2},
                                            {Dtype::uint32, "uint32", 4},
                                            {Dtype::uint64, "uint64", 8},
                                            {Dtype::boolean, "bool", 1}}};

const DtypeName& entry_of(Dtype dtype) {
    return DTYPES[static_cast<std::size_t>(dtype)];
}

bool is_float(Dtype dtype) {
    return dtype == Dtype::float16 || dtype == Dtype::float32 || dtype == Dtype::float64;
}

// IEEE half precision, rounded to the nearest, ties to even, from the double itself (through a
// float first, a few values would be rounded twice and land elsewhere than numpy puts them).
std::uint16_t half_of(double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    auto sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000U);
    auto exponent = static_cast<int>((bits >> 52) & 0x7ffU);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent == 0x7ff) {
        return static_cast<std::uint16_t>(sign | 0x7c00U | (mantissa != 0 ? 0x200U : 0));
    }
    if (exponent == 0) {
        return sign;
    }
    std::uint64_t significand = mantissa | (std::uint64_t{1} << 52);
    int half_exponent = exponent - 1023 + 15;
    // The bits below a half's 10 (and, for a subnormal, below its place) are rounded away.
    int shift = 42 + (half_exponent < 1 ? 1 - half_exponent : 0);
    if (shift > 63) {
        return sign;
    }
    std::uint64_t kept = significand >> shift;
    std::uint64_t rest = significand & ((std::uint64_t{1} << shift) - 1);
    std::uint64_t halfway = std::uint64_t{1} << (shift - 1);
    if (rest > halfway || (rest == halfway && (kept & 1U) != 0)) {
        ++kept;
    }
    if (half_exponent < 1) {
        // A carry into bit 10 makes the smallest normal, as the encoding reads it.
        return static_cast<std::uint16_t>(sign | kept);
    }
    if (kept == (std::uint64_t{1} << 11)) {
        kept >>= 1;
        ++half_exponent;
    }
    if (half_exponent >= 31) {
        return static_cast<std::uint16_t>(sign | 0x7c00U);
    }
    return static_cast<std::uint16_t>(sign | (static_cast<std::uint32_t>(half_exponent) << 10) |
                                      (kept & 0x3ffU));
}

float float_of_half(std::uint16_t half) {
    std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000U) << 16;
    std::uint32_t exponent = (half >> 10) & 0x1fU;
    std::uint32_t mantissa = half & 0x3ffU;
    if (exponent == 0x1f) {
        return std::bit_cast<float>(sign | 0x7f800000U | (mantissa << 13));
    }
    if (exponent == 0) {
        float value = std::ldexp(static_cast<float>(mantissa), -24);
        return sign != 0 ? -value : value;
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

// Whether a finite number would round to infinity in the dtype: a value it cannot hold, where an
// infinity the simulator wrote is one it holds. The bounds are the largest finite value plus half
// its last place, which rounding to the nearest even takes to infinity.
bool beyond_float_range(Dtype dtype, double number) {
    constexpr double FLOAT32_LIMIT = 0x1p128 - 0x1p103;
    constexpr double FLOAT16_LIMIT = 65520.0;
    if (!std::isfinite(number) || dtype == Dtype::float64) {
        return false;
    }
    return std::fabs(number) >= (dtype == Dtype::float32 ? FLOAT32_LIMIT : FLOAT16_LIMIT);
}

template <class T>
void store(char* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

template <class T>
T load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::string shape_text(const std::vector<std::size_t>& shape) {
    if (shape.size() == 1) {
        return fmt::format("({},)", shape[0]);
    }
    return fmt::format("({})", fmt::join(shape, ", "));
}

// Why a tensor of the actions is not the leaf declared there; the name the client sent, which
// may be anything, comes last and short.
std::string misnamed(const std::string& declared, const std::string& sent) {
    auto wanted = declared.empty()
                      ? std::string("empty (the space has one leaf)")
                      : "'" + text_forms::quoted(declared) + "' (its place in the space)";
    return "the tensor's name must be " + wanted + ", not " +
           (sent.empty() ? std::string("empty") : "'" + text_forms::quoted(sent) + "'");
}

std::string place(const std::string& where) {
    return where.empty() ? "the value" : where;
}

// The whole number the value holds, when it holds one in the dtype's range.
template <class T>
std::optional<T> whole(const Json& number) {
    if (number.is_number_unsigned()) {
        auto value = number.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
            return static_cast<T>(value);
        }
        return std::nullopt;
    }
    if (number.is_number_integer()) {
        auto value = number.get<std::int64_t>();
        if ((std::is_signed_v<T> || value >= 0) &&
            value >= static_cast<std::int64_t>(std::numeric_limits<T>::lowest()) &&
            (std::is_unsigned_v<T> ||
             value <= static_cast<std::int64_t>(std::numeric_limits<T>::max()))) {
            return static_cast<T>(value);
        }
        return std::nullopt;
    }
    double value = number.get<double>();
    if (std::trunc(value) != value ||
        value < static_cast<double>(std::numeric_limits<T>::lowest()) ||
        value >= static_cast<double>(std::numeric_limits<T>::max()) + 1.0) {
        return std::nullopt;
    }
    return static_cast<T>(value);
}

template <class T>
struct Held {
    using type = T;
};

// Calls `use` with Held<T> for the C++ type T of a whole-number dtype; nothing for the others.
template <class Use>
void with_whole_type(Dtype dtype, Use&& use) {
    switch (dtype) {
        case Dtype::int8:
            return use(Held<std::int8_t>{});
        case Dtype::int16:
            return use(Held<std::int16_t>{});
        case Dtype::int32:
            return use(Held<std::int32_t>{});
        case Dtype::int64:
            return use(Held<std::int64_t>{});
        case Dtype::uint8:
            return use(Held<std::uint8_t>{});
        case Dtype::uint16:
            return use(Held<std::uint16_t>{});
        case Dtype::uint32:
            return use(Held<std::uint32_t>{});
        case Dtype::uint64:
            return use(Held<std::uint64_t>{});
        default:
            return;
    }
}

// Writes one number as the dtype holds it; why it cannot be, when it cannot.
std::optional<std::string> write_number(Dtype dtype, const Json& value, char* at,
                                        const std::string& where) {
    if (dtype == Dtype::boolean) {
        if (!value.is_boolean()) {
            return fmt::format("{}: {} where true or false is declared", place(where),
                               value.dump());
        }
        store<std::uint8_t>(at, value.get<bool>() ? 1 : 0);
        return std::nullopt;
    }
    if (!value.is_number()) {
        return fmt::format("{}: {} where a number is declared", place(where), value.dump());
    }
    if (is_float(dtype)) {
        double number = value.get<double>();
        if (beyond_float_range(dtype, number)) {
            return fmt::format("{}: {} is beyond what {} holds", place(where), value.dump(),
                               name_of(dtype));
        }
        if (dtype == Dtype::float64) {
            store(at, number);
        } else if (dtype == Dtype::float32) {
            store(at, static_cast<float>(number));
        } else {
            store(at, half_of(number));
        }
        return std::nullopt;
    }
    bool written = false;
    with_whole_type(dtype, [&](auto held) {
        if (auto number = whole<typename decltype(held)::type>(value)) {
            store(at, *number);
            written = true;
        }
    });
    if (!written) {
        return fmt::format("{}: {} where a whole number of {} is declared", place(where),
                           value.dump(), name_of(dtype));
    }
    return std::nullopt;
}

Json read_number(Dtype dtype, const char* at) {
    switch (dtype) {
        case Dtype::float16:
            return static_cast<double>(float_of_half(load<std::uint16_t>(at)));
        case Dtype::float32:
            return static_cast<double>(load<float>(at));
        case Dtype::float64:
            return load<double>(at);
        case Dtype::boolean:
            return load<std::uint8_t>(at) != 0;
        default:
            break;
    }
    Json number;
    with_whole_type(dtype, [&](auto held) { number = load<typename decltype(held)::type>(at); });
    return number;
}

std::vector<std::size_t> nested_shape(const Json& value) {
    std::vector<std::size_t> shape;
    const Json* level = &value;
    while (level->is_array()) {
        shape.push_back(level->size());
        if (level->empty()) {
            break;
        }
        level = &level->front();
    }
    return shape;
}

std::string joined(const std::string& prefix, const std::string& part) {
    return prefix.empty() ? part : prefix + "." + part;
}

void lay_out(const Json& space, const std::string& name, std::vector<Leaf>& leaves) {
    const auto& type = space.at("type");
    auto add = [&](Dtype dtype, std::vector<std::size_t> shape) {
        auto elements = space_shape::element_count(shape);
        leaves.push_back({name, dtype, std::move(shape), elements});
    };
    if (type == "box") {
        auto dtype = dtype_named(space_shape::dtype_of(space));
        if (!dtype) {
            throw std::invalid_argument(fmt::format("{}: a box of dtype {} cannot be packed",
                                                    place(name), space_shape::dtype_of(space)));
        }
        add(*dtype, space_shape::shape_of(space));
    } else if (type == "discrete") {
        add(Dtype::int64, {});
    } else if (type == "multi_discrete") {
        add(Dtype::int64, nested_shape(space.at("nvec")));
    } else if (type == "multi_binary") {
        const auto& n = space.at("n");
        add(Dtype::int8, n.is_array() ? n.get<std::vector<std::size_t>>()
                                      : std::vector<std::size_t>{n.get<std::size_t>()});
    } else if (type == "dict") {
        for (const auto& [key, child] : space.at("spaces").items()) {
            lay_out(child, joined(name, key), leaves);
        }
    } else if (type == "tuple") {
        const auto& children = space.at("spaces");
        for (std::size_t index = 0; index < children.size(); ++index) {
            lay_out(children[index], joined(name, std::to_string(index)), leaves);
        }
    } else {
        throw std::invalid_argument(
            fmt::format("{}: a space of type {} cannot be packed", place(name), type.dump()));
    }
}

// Walks a value beside its space, leaf after leaf.
class Writer {
  public:
    Writer(const std::vector<Leaf>& leaves, std::vector<Tensor>& tensors, std::size_t row)
        : leaves_(leaves), tensors_(tensors), row_(row) {}

    std::optional<std::string> value(const Json& space, const Json& value,
                                     const std::string& where) {
        const auto& type = space.at("type");
        if (type == "dict") {
            if (!value.is_object()) {
                return fmt::format("{}: {} where a dict is declared", place(where),
                                   value.is_structured() ? "a list" : value.dump());
            }
            for (const auto& [key, child] : space.at("spaces").items()) {
                auto found = value.find(key);
                if (found == value.end()) {
                    return fmt::format("{}: missing", joined(where, key));
                }
                if (auto wrong = this->value(child, *found, joined(where, key))) {
                    return wrong;
                }
            }
            return std::nullopt;
        }
        if (type == "tuple") {
            const auto& children = space.at("spaces");
            if (!value.is_array() || value.size() != children.size()) {
                return fmt::format("{}: not a tuple of {}", place(where), children.size());
            }
            for (std::size_t index = 0; index < children.size(); ++index) {
                if (auto wrong = this->value(children[index], value[index],
                                             joined(where, std::to_string(index)))) {
                    return wrong;
                }
            }
            return std::nullopt;
        }
        const auto& leaf = leaves_[next_];
        auto& tensor = tensors_[next_++];
        auto size = size_of(leaf.dtype);
        char* at = tensor.data.data() + row_ * leaf.elements * size;
        std::size_t written = 0;
        return elements(leaf, value, 0, at, size, written, where);
    }

  private:
    std::optional<std::string> elements(const Leaf& leaf, const Json& value, std::size_t depth,
                                        char* at, std::size_t size, std::size_t& written,
                                        const std::string& where) {
        if (depth == leaf.shape.size()) {
            return write_number(leaf.dtype, value, at + written++ * size, where);
        }
        if (!value.is_array() || value.size() != leaf.shape[depth]) {
            return fmt::format("{}: not of the declared shape {}", place(where),
                               shape_text(leaf.shape));
        }
        for (const auto& item : value) {
            if (auto wrong = elements(leaf, item, depth + 1, at, size, written, where)) {
                return wrong;
            }
        }
        return std::nullopt;
    }

    const std::vector<Leaf>& leaves_;
    std::vector<Tensor>& tensors_;
    std::size_t row_;
    std::size_t next_ = 0;
};

class Reader {
  public:
    Reader(const std::vector<Leaf>& leaves, std::span<const Tensor> tensors, std::size_t row)
        : leaves_(leaves), tensors_(tensors), row_(row) {}

    Json value(const Json& space) {
        const auto& type = space.at("type");
        if (type == "dict") {
            Json out = Json::object();
            for (const auto& [key, child] : space.at("spaces").items()) {
                out[key] = value(child);
            }
            return out;
        }
        if (type == "tuple") {
            Json out = Json::array();
            for (const auto& child : space.at("spaces")) {
                out.push_back(value(child));
            }
            return out;
        }
        const auto& leaf = leaves_[next_];
        const auto& tensor = tensors_[next_++];
        auto size = size_of(tensor.dtype);
        const char* at = tensor.data.data() + row_ * leaf.elements * size;
        std::size_t read = 0;
        return elements(leaf, tensor.dtype, 0, at, size, read);
    }

  private:
    Json elements(const Leaf& leaf, Dtype dtype, std::size_t depth, const char* at,
                  std::size_t size, std::size_t& read) {
        if (depth == leaf.shape.size()) {
            return read_number(dtype, at + read++ * size);
        }
        Json out = Json::array();
        for (std::size_t index = 0; index < leaf.shape[depth]; ++index) {
            out.push_back(elements(leaf, dtype, depth + 1, at, size, read));
        }
        return out;
    }

    const std::vector<Leaf>& leaves_;
    std::span<const Tensor> tensors_;
    std::size_t row_;
    std::size_t next_ = 0;
};

}  // namespace

std::optional<Dtype> dtype_named(std::string_view name) {
    for (const auto& entry : DTYPES) {
        if (entry.name == name) {
            return entry.dtype;
        }
    }
    return std::nullopt;
}

std::string_view name_of(Dtype dtype) {
    return entry_of(dtype).name;
}

std::size_t size_of(Dtype dtype) {
    return entry_of(dtype).size;
}

Layout::Layout(const Json& space) : space_(space) {
    try {
        lay_out(space_, "", leaves_);
    } catch (const Json::exception& error) {
        throw std::invalid_argument(std::string("the space cannot be packed: ") + error.what());
    }
}

std::vector<Tensor> Layout::zeros(std::size_t rows) const {
    std::vector<Tensor> tensors;
    for (const auto& leaf : leaves_) {
        Tensor tensor{leaf.name, leaf.dtype, {rows}, {}};
        tensor.shape.insert(tensor.shape.end(), leaf.shape.begin(), leaf.shape.end());
        tensor.data.assign(rows * leaf.elements * size_of(leaf.dtype), '\0');
        tensors.push_back(std::move(tensor));
    }
    return tensors;
}

std::optional<std::string> Layout::put(std::vector<Tensor>& tensors, std::size_t row,
                                       const Json& value) const {
    auto wrong = Writer(leaves_, tensors, row).value(space_, value, "");
    if (wrong) {
        for (std::size_t leaf = 0; leaf < leaves_.size(); ++leaf) {
            auto bytes = leaves_[leaf].elements * size_of(leaves_[leaf].dtype);
            std::memset(tensors[leaf].data.data() + row * bytes, 0, bytes);
        }
    }
    return wrong;
}

void Layout::check(std::span<const Tensor> tensors, std::size_t rows) const {
    if (tensors.size() != leaves_.size()) {
        throw std::invalid_argument(fmt::format("{} tensors where the space has {} leaves",
                                                tensors.size(), leaves_.size()));
    }
    for (std::size_t index = 0; index < leaves_.size(); ++index) {
        const auto& leaf = leaves_[index];
        const auto& tensor = tensors[index];
        std::string name =
            leaf.name.empty() ? "the tensor" : "tensor '" + text_forms::quoted(leaf.name) + "'";
        if (tensor.name != leaf.name) {
            throw std::invalid_argument(misnamed(leaf.name, tensor.name));
        }
        std::vector<std::uint64_t> shape{rows};
        shape.insert(shape.end(), leaf.shape.begin(), leaf.shape.end());
        if (tensor.shape != shape) {
            throw std::invalid_argument(
                fmt::format("{} has the shape ({}) where ({}) is declared", name,
                            text_forms::quoted(fmt::format("{}", fmt::join(tensor.shape, ", "))),
                            fmt::join(shape, ", ")));
        }
        if (!is_float(leaf.dtype) && is_float(tensor.dtype)) {
            throw std::invalid_argument(
                fmt::format("{} is {} where whole numbers ({}) are declared", name,
                            name_of(tensor.dtype), name_of(leaf.dtype)));
        }
        if (tensor.data.size() != rows * leaf.elements * size_of(tensor.dtype)) {
            throw std::invalid_argument(
                fmt::format("{} holds {} bytes where {} values of {} take {}", name,
                            tensor.data.size(), rows * leaf.elements, name_of(tensor.dtype),
                            rows * leaf.elements * size_of(tensor.dtype)));
        }
    }
}

Json Layout::get(std::span<const Tensor> tensors, std::size_t row) const {
    return Reader(leaves_, tensors, row).value(space_);
}

std::optional<Layout> action_layout(const Json& space) {
    static const std::vector<std::string> LEAVES{"box", "discrete", "multi_discrete",
                                                 "multi_binary"};
    if (std::find(LEAVES.begin(), LEAVES.end(), space.value("type", "")) == LEAVES.end()) {
        return std::nullopt;
    }
    return Layout(space);
}

}  // namespace norva_core::sim::packed
