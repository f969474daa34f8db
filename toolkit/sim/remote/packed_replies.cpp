#include "sim/remote/packed_replies.h"

#include <cstring>
#include <string>
#include <string_view>

#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"

namespace norva_core::sim {
namespace {

namespace v1 = norva::sim::v1;

packed::Tensor tensor_of(const v1::Tensor& sent) {
    auto dtype = packed::dtype_named(sent.dtype());
    if (!dtype) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "the server sent a tensor of an unknown dtype");
    }
    return {sent.name(), *dtype, {sent.shape().begin(), sent.shape().end()}, sent.data()};
}

std::vector<packed::Tensor> tensors_of(const google::protobuf::RepeatedPtrField<v1::Tensor>& sent) {
    std::vector<packed::Tensor> tensors;
    for (const auto& tensor : sent) {
        tensors.push_back(tensor_of(tensor));
    }
    return tensors;
}

bool flag(const v1::Tensor& flags, std::size_t slot) {
    return slot < flags.data().size() && flags.data()[slot] != 0;
}

Json infos_of(const std::string& text, const char* op) {
    if (text.empty()) {
        return {};
    }
    try {
        return wire_json::parse(text);
    } catch (const json_input::InputError& error) {
        throw SimulatorError(
            SimulatorError::Kind::failed,
            std::string("the infos of the server's answer to '") + op + "' are " + error.what());
    }
}

}  // namespace

PackedReplies::PackedReplies(const Json& sensor_space, const Json& action_space, std::size_t count)
    : sensor_(sensor_space), action_(packed::action_layout(action_space)), count_(count) {}

std::vector<SlotAnswer> PackedReplies::answers_of(const v1::PackedReply& answer,
                                                  const char* op) const {
    auto observations = tensors_of(answer.observations());
    auto finals = tensors_of(answer.final_observations());
    try {
        sensor_.check(observations, count_);
        if (answer.has_final_mask()) {
            sensor_.check(finals, count_);
        }
    } catch (const std::invalid_argument& error) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             std::string("the server's packed answer to '") + op +
                                 "' does not fit the sensor space: " + error.what());
    }
    Json infos = infos_of(answer.infos_json(), op);
    bool step = answer.has_rewards();
    std::vector<SlotAnswer> answers(count_);
    for (const auto& failure : answer.failures()) {
        if (failure.slot() < count_) {
            answers[failure.slot()].error =
                SimulatorError(wire_errors::kind_of_http(failure.kind(), 0), failure.error());
        }
    }
    for (std::size_t slot = 0; slot < count_; ++slot) {
        if (answers[slot].error || !flag(answer.answered(), slot)) {
            continue;
        }
        Json info = infos.is_array() && slot < infos.size() && infos[slot].is_object()
                        ? infos[slot]
                        : Json::object();
        if (answer.has_final_mask() && flag(answer.final_mask(), slot)) {
            info["final_observation"] = sensor_.get(finals, slot);
        }
        Json result = {{"observation", sensor_.get(observations, slot)}};
        if (step) {
            double reward = 0;
            if (answer.rewards().data().size() >= (slot + 1) * sizeof reward) {
                std::memcpy(&reward, answer.rewards().data().data() + slot * sizeof reward,
                            sizeof reward);
            }
            result["reward"] = reward;
            result["terminated"] = flag(answer.terminated(), slot);
            result["truncated"] = flag(answer.truncated(), slot);
        }
        result["info"] = std::move(info);
        answers[slot].result = std::move(result);
    }
    return answers;
}

bool PackedReplies::put_actions(std::span<const Json> actions, v1::Tensor& out) const {
    if (!action_ || actions.size() != count_) {
        return false;
    }
    auto tensors = action_->zeros(count_);
    for (std::size_t slot = 0; slot < count_; ++slot) {
        if (actions[slot].is_null() || action_->put(tensors, slot, actions[slot])) {
            return false;
        }
    }
    out.Clear();
    out.set_dtype(std::string(packed::name_of(tensors.front().dtype)));
    for (auto size : tensors.front().shape) {
        out.add_shape(size);
    }
    out.set_data(std::move(tensors.front().data));
    return true;
}

bool refused_packing(const SimulatorError& error) {
    return std::string_view(error.what()).find("cannot be packed") != std::string_view::npos;
}

}  // namespace norva_core::sim
