#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/common/simulator.h"
#include "sim/serve/served_vector.h"
#include "sim/space/packed.h"

// The gRPC protocol's vector messages as HTTP bodies, for a client that sends and asks for
// application/x-protobuf. Implemented in serve/vector_messages.cpp, in the network module (the
// messages need protobuf); each throws InvalidRequest for a body that is no such message.
namespace norva_core::sim {

inline constexpr std::string_view PROTOBUF_TYPE = "application/x-protobuf";

// A StepVectorRequest's actions: JSON text, or a tensor.
struct StepBody {
    std::string actions_json;
    std::optional<packed::Tensor> actions;
    std::vector<std::size_t> env_ids;
};
StepBody step_body_of(const std::string& body);

// A ResetVectorRequest's seed, seeds and options.
struct ResetBody {
    std::optional<std::uint64_t> seed;
    std::vector<std::uint64_t> seeds;
    std::string options_json;
};
ResetBody reset_body_of(const std::string& body);

// A JsonReply with the answers: packed for a vector made packed, JSON text in it otherwise.
std::string vector_reply_body(const PackedForm* form, std::vector<SlotAnswer>& answers, bool step,
                              std::span<const std::size_t> env_ids = {});

}  // namespace norva_core::sim
