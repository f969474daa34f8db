#pragma once

#include <span>
#include <vector>

#include "sim.pb.h"
#include "sim/serve/served_vector.h"
#include "sim/space/packed.h"

// What the vector calls' messages hold, read and written for both fronts.
namespace norva_core::sim::vector_messages {

// Throws InvalidRequest for a dtype that is none of numpy's names.
packed::Tensor tensor_of(const norva::sim::v1::Tensor& sent);

// The answers as JSON text, or as arrays for a vector made packed (`form`); `env_ids`, when a
// vector with a batch size gives them, name the slot of each answer.
void answer(const PackedForm* form, std::vector<SlotAnswer>& answers, bool step,
            norva::sim::v1::JsonReply& reply, std::span<const std::size_t> env_ids = {});

}  // namespace norva_core::sim::vector_messages
