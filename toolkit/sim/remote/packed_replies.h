#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "sim.pb.h"
#include "sim/common/simulator.h"
#include "sim/space/packed.h"

namespace norva_core::sim {

// A packed vector as a client sees it, over either protocol: its answers read back into the
// values a JSON answer holds, and its actions written as one tensor where they can be.
class PackedReplies {
  public:
    // Throws std::invalid_argument for a sensor space that cannot be laid out.
    PackedReplies(const Json& sensor_space, const Json& action_space, std::size_t count);

    // Throws SimulatorError for an answer that does not fit the sensor space.
    std::vector<SlotAnswer> answers_of(const norva::sim::v1::PackedReply& answer,
                                       const char* op) const;
    // False, writing nothing, unless every action is there and the action space is one leaf.
    bool put_actions(std::span<const Json> actions, norva::sim::v1::Tensor& out) const;

  private:
    packed::Layout sensor_;
    std::optional<packed::Layout> action_;
    std::size_t count_;
};

// Whether a server refused to make a vector packed because its spaces cannot be: the client then
// makes it answer JSON.
bool refused_packing(const SimulatorError& error);

}  // namespace norva_core::sim
