#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "sim/common/simulator.h"
#include "sim/space/packed.h"

// A vector call's answers as a packed vector carries them: each leaf of the observations in
// one tensor of N rows, the rewards and flags as arrays, the infos as one JSON list, and the
// final observations of the episodes autoreset ended as tensors beside a mask.
namespace norva_core::sim::packed {

struct SlotFailure {
    std::size_t slot;
    std::string error;
    // As a JSON answer names it ("failed", "answered", ...).
    std::string kind;
};

struct Answers {
    std::vector<Tensor> observations;
    // Of a step only: float64, bool and bool of shape [N].
    std::optional<Tensor> rewards;
    std::optional<Tensor> terminated;
    std::optional<Tensor> truncated;
    // A JSON list of N infos (null where a slot has none), without "final_observation".
    std::string infos_json;
    std::vector<Tensor> final_observations;
    std::optional<Tensor> final_mask;
    // bool [N]: the slots whose row holds an answer.
    Tensor answered;
    std::vector<SlotFailure> failures;
};

// The answers of a reset (`step` false) or a step. An observation that does not fit the
// sensor space's layout fails its slot, saying why, rather than reaching a client garbled.
Answers packed_answers(const Layout& sensor, std::vector<SlotAnswer>& answers, bool step);

}  // namespace norva_core::sim::packed
