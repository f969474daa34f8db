#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Implemented in toolkit/sim/space/space.cpp, space_membership.cpp and space_text.cpp.
namespace norva_core {

// Whether a box value outside its bounds is a mismatch; NaN always is.
enum class Bounds { checked, ignored };

// An observation or action space, described by its JSON form.
class Space {
  public:
    // Throws std::invalid_argument naming the part of the description that is wrong.
    static Space from_json(const nlohmann::ordered_json& description);

    const nlohmann::ordered_json& json() const { return description_; }
    // The familiar text form, e.g. "Box(-1.0, 1.0, (3,), float32)".
    std::string to_string() const;
    bool contains(const nlohmann::ordered_json& value) const;
    // Why the value is not a member, naming where inside it and what is wrong:
    // "position: shape (1,) where (2,) is declared", "position[0]: 30.0 above high 20.0",
    // "gear: missing". `name` stands for the value itself. Nothing when it is a member.
    std::optional<std::string> mismatch(const nlohmann::ordered_json& value, std::string_view name,
                                        Bounds bounds = Bounds::checked) const;
    // A random member; the same seed gives the same value.
    nlohmann::ordered_json sample(std::uint64_t seed) const;

  private:
    explicit Space(nlohmann::ordered_json description) : description_(std::move(description)) {}
    nlohmann::ordered_json description_;
};

}  // namespace norva_core
