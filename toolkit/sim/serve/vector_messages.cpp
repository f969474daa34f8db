#include "sim/serve/vector_messages.h"

#include "norva_core/text_forms.h"
#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"
#include "sim/serve/listener.h"
#include "sim/serve/packed_answers.h"
#include "sim/serve/packed_bodies.h"

namespace norva_core::sim {
namespace {

namespace v1 = norva::sim::v1;

void fill(v1::Tensor& out, packed::Tensor&& tensor) {
    out.set_name(std::move(tensor.name));
    out.set_dtype(std::string(packed::name_of(tensor.dtype)));
    for (auto size : tensor.shape) {
        out.add_shape(size);
    }
    out.set_data(std::move(tensor.data));
}

void fill(google::protobuf::RepeatedPtrField<v1::Tensor>& out,
          std::vector<packed::Tensor>&& tensors) {
    for (auto& tensor : tensors) {
        fill(*out.Add(), std::move(tensor));
    }
}

template <class Message>
Message parsed(const std::string& body, const char* name) {
    Message message;
    if (!message.ParseFromString(body)) {
        throw InvalidRequest(std::string("the request body is not a ") + name +
                             " message of the norva.sim.v1 protocol");
    }
    return message;
}

}  // namespace

namespace vector_messages {

packed::Tensor tensor_of(const v1::Tensor& sent) {
    auto dtype = packed::dtype_named(sent.dtype());
    if (!dtype) {
        throw InvalidRequest(
            "a tensor's dtype is one of numpy's names, float32 or int64 say, not " +
            text_forms::quoted(sent.dtype()));
    }
    return {sent.name(), *dtype, {sent.shape().begin(), sent.shape().end()}, sent.data()};
}

void answer(const PackedForm* form, std::vector<SlotAnswer>& answers, bool step,
            v1::JsonReply& reply, std::span<const std::size_t> env_ids) {
    reply.Clear();
    if (form == nullptr) {
        reply.set_json(
            wire_json::dump(wire_errors::slot_answers_json(std::move(answers), env_ids)));
        return;
    }
    auto answered = packed::packed_answers(form->sensor, answers, step);
    auto& out = *reply.mutable_packed();
    fill(*out.mutable_observations(), std::move(answered.observations));
    if (step) {
        fill(*out.mutable_rewards(), std::move(*answered.rewards));
        fill(*out.mutable_terminated(), std::move(*answered.terminated));
        fill(*out.mutable_truncated(), std::move(*answered.truncated));
    }
    out.set_infos_json(std::move(answered.infos_json));
    if (answered.final_mask) {
        fill(*out.mutable_final_observations(), std::move(answered.final_observations));
        fill(*out.mutable_final_mask(), std::move(*answered.final_mask));
    }
    fill(*out.mutable_answered(), std::move(answered.answered));
    for (auto& failure : answered.failures) {
        auto& failed = *out.add_failures();
        failed.set_slot(static_cast<std::uint32_t>(failure.slot));
        failed.set_error(std::move(failure.error));
        failed.set_kind(std::move(failure.kind));
    }
    for (auto slot : env_ids) {
        out.add_env_ids(static_cast<std::uint32_t>(slot));
    }
}

}  // namespace vector_messages

StepBody step_body_of(const std::string& body) {
    auto request = parsed<v1::StepVectorRequest>(body, "StepVectorRequest");
    StepBody step{request.actions_json(), std::nullopt, env_ids_of(request.env_ids())};
    if (request.has_actions()) {
        step.actions = vector_messages::tensor_of(request.actions());
    }
    return step;
}

ResetBody reset_body_of(const std::string& body) {
    auto request = parsed<v1::ResetVectorRequest>(body, "ResetVectorRequest");
    ResetBody reset;
    if (request.has_seed()) {
        reset.seed = request.seed();
    }
    reset.seeds.assign(request.seeds().begin(), request.seeds().end());
    reset.options_json = request.options_json();
    return reset;
}

std::string vector_reply_body(const PackedForm* form, std::vector<SlotAnswer>& answers, bool step,
                              std::span<const std::size_t> env_ids) {
    v1::JsonReply reply;
    vector_messages::answer(form, answers, step, reply, env_ids);
    return reply.SerializeAsString();
}

}  // namespace norva_core::sim
