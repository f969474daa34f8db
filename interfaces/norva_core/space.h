#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// Implemented in toolkit/sim/space.cpp and space_text.cpp.
namespace norva_core {

// An observation or action space, described by its JSON form.
class Space {
  public:
    // Throws std::invalid_argument naming the part of the description that is wrong.
    static Space from_json(const nlohmann::ordered_json& description);

    const nlohmann::ordered_json& json() const { return description_; }
    // The familiar text form, e.g. "Box(-1.0, 1.0, (3,), float32)".
    std::string to_string() const;
    bool contains(const nlohmann::ordered_json& value) const;
    // A random member; the same seed gives the same value.
    nlohmann::ordered_json sample(std::uint64_t seed) const;

  private:
    explicit Space(nlohmann::ordered_json description) : description_(std::move(description)) {}
    nlohmann::ordered_json description_;
};

}  // namespace norva_core
