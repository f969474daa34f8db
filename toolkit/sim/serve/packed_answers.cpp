#include "sim/serve/packed_answers.h"

#include <cstring>

#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"

namespace norva_core::sim::packed {
namespace {

Tensor flags(std::size_t count) {
    return Tensor{"", Dtype::boolean, {count}, std::string(count, '\0')};
}

}  // namespace

Answers packed_answers(const Layout& sensor, std::vector<SlotAnswer>& answers, bool step) {
    auto count = answers.size();
    Answers packed;
    packed.observations = sensor.zeros(count);
    packed.answered = flags(count);
    if (step) {
        packed.rewards = Tensor{"", Dtype::float64, {count}, std::string(count * 8, '\0')};
        packed.terminated = flags(count);
        packed.truncated = flags(count);
    }
    std::vector<Tensor> finals;
    Tensor final_mask = flags(count);
    auto fail = [&](std::size_t slot, std::string error, std::string_view kind) {
        packed.failures.push_back({slot, std::move(error), std::string(kind)});
    };
    Json infos = Json::array();
    for (std::size_t slot = 0; slot < count; ++slot) {
        auto& answer = answers[slot];
        if (answer.error) {
            fail(slot, answer.error->what(), wire_errors::form_of(answer.error->kind()).kind);
            infos.push_back(nullptr);
            continue;
        }
        auto& result = answer.result;
        if (result.is_null()) {
            infos.push_back(nullptr);
            continue;
        }
        if (auto wrong = sensor.put(packed.observations, slot, result.at("observation"))) {
            fail(slot,
                 "the simulator's observation does not fit its sensor space, so it cannot be "
                 "packed: " +
                     *wrong,
                 wire_errors::FAILED.kind);
            infos.push_back(nullptr);
            continue;
        }
        Json info = result.contains("info") ? std::move(result.at("info")) : Json::object();
        if (step) {
            double reward =
                result.at("reward").is_number() ? result.at("reward").get<double>() : std::nan("");
            std::memcpy(packed.rewards->data.data() + slot * 8, &reward, 8);
            packed.terminated->data[slot] = result.at("terminated") == true ? 1 : 0;
            packed.truncated->data[slot] = result.at("truncated") == true ? 1 : 0;
            if (info.is_object() && info.contains("final_observation")) {
                if (finals.empty()) {
                    finals = sensor.zeros(count);
                }
                if (!sensor.put(finals, slot, info.at("final_observation"))) {
                    final_mask.data[slot] = 1;
                    info.erase("final_observation");
                }
            }
        }
        packed.answered.data[slot] = 1;
        infos.push_back(std::move(info));
    }
    if (!finals.empty()) {
        packed.final_observations = std::move(finals);
        packed.final_mask = std::move(final_mask);
    }
    packed.infos_json = wire_json::dump(infos);
    return packed;
}

}  // namespace norva_core::sim::packed
