#pragma once

#include <cstddef>
#include <deque>
#include <span>
#include <utility>
#include <vector>

#include "sim/worker/vector_calls.h"

namespace norva_core::sim {

// A slot and what its simulator answered.
using SlotResult = std::pair<std::size_t, SlotAnswer>;

// Steps the environments of a vector without lock-step: each action is sent as it comes, and
// answers are taken as they arrive, so that a slow simulator holds back only itself. Between
// calls a slot is waiting for an action, stepping, or answered but not yet handed out. For
// simulators of one environment a process.
class BatchSteps {
  public:
    explicit BatchSteps(std::size_t count) : states_(count, State::waiting) {}

    bool waiting(std::size_t slot) const { return states_[slot] == State::waiting; }
    // Sends each slot its action; a slot without a simulator, or whose simulator fails at once,
    // is answered at once with the error.
    void send(std::span<const Environment> slots, std::span<const std::size_t> ids,
              std::span<const Json* const> actions);
    // The slots `answered` gives back answered without a step (a new simulator's first
    // observation, say).
    void answered(SlotResult answer);
    // The first `wanted` answers, in the order they came, waiting until as many have come or none
    // is stepping; answers beyond `wanted` wait for the next call.
    std::vector<SlotResult> take(std::span<const Environment> slots, std::size_t wanted);
    // Waits out every step in flight, so that all slots wait again, and gives the answers that
    // were not handed out.
    std::vector<SlotResult> drain(std::span<const Environment> slots);

  private:
    enum class State { waiting, stepping, answered };
    std::size_t stepping() const;
    // Takes the answers that have come, polling first unless `now`; a step still out past its
    // time limit fails.
    void gather(std::span<const Environment> slots, bool now);

    std::vector<State> states_;
    std::deque<SlotResult> answers_;
};

}  // namespace norva_core::sim
