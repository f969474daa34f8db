#include "sim/remote/spread_vector.h"

#include <fmt/format.h>

#include <future>
#include <stdexcept>

#include "norva_core/interrupt.h"

namespace norva_core::sim {

std::vector<std::size_t> shares(std::size_t count, std::size_t servers) {
    if (servers == 0 || count < servers) {
        throw std::invalid_argument(
            fmt::format("{} environments cannot be spread over {} servers; give at least one each",
                        count, servers));
    }
    std::vector<std::size_t> each(servers, count / servers);
    for (std::size_t index = 0; index < count % servers; ++index) {
        ++each[index];
    }
    return each;
}

SpreadVector::SpreadVector(std::vector<std::unique_ptr<SimulatorVector>> parts)
    : parts_(std::move(parts)) {
    for (const auto& part : parts_) {
        firsts_.push_back(size_);
        size_ += part->size();
    }
}

template <class Call>
std::vector<SlotAnswer> SpreadVector::on_all(Call&& call) {
    std::vector<std::future<std::vector<SlotAnswer>>> running;
    {
        // The calls' threads leave the ending signals to the command's.
        interrupt::BlockedInThreads blocked;
        for (std::size_t index = 0; index < parts_.size(); ++index) {
            running.push_back(std::async(
                std::launch::async, [&, index] { return call(*parts_[index], firsts_[index]); }));
        }
    }
    std::vector<SlotAnswer> answers;
    answers.reserve(size_);
    for (std::size_t index = 0; index < parts_.size(); ++index) {
        try {
            auto part = running[index].get();
            answers.insert(answers.end(), std::make_move_iterator(part.begin()),
                           std::make_move_iterator(part.end()));
        } catch (const SimulatorError& error) {
            answers.resize(answers.size() + parts_[index]->size(), SlotAnswer{Json(), error});
        }
    }
    return answers;
}

void SpreadVector::make(const std::string& env_id, const Json& env_init) {
    for (auto& part : parts_) {
        part->make(env_id, env_init);
    }
}

std::vector<SlotAnswer> SpreadVector::reset(const VectorReset& reset) {
    if (reset.seeds) {
        check_seed_count(reset.seeds->size(), size_);
    }
    return on_all([&](SimulatorVector& part, std::size_t first) {
        VectorReset share{std::nullopt, std::nullopt, reset.options};
        if (reset.seed) {
            share.seed = *reset.seed + first;
        }
        if (reset.seeds) {
            share.seeds.emplace(
                reset.seeds->begin() + static_cast<std::ptrdiff_t>(first),
                reset.seeds->begin() + static_cast<std::ptrdiff_t>(first + part.size()));
        }
        if (share.options && share.options->contains("reset_mask") &&
            share.options->at("reset_mask").is_array()) {
            const auto& mask = share.options->at("reset_mask");
            Json cut = Json::array();
            for (std::size_t slot = first; slot < first + part.size() && slot < mask.size();
                 ++slot) {
                cut.push_back(mask[slot]);
            }
            (*share.options)["reset_mask"] = std::move(cut);
        }
        return part.reset(share);
    });
}

std::vector<SlotAnswer> SpreadVector::step(std::span<const Json> actions) {
    check_action_count(actions.size(), size_);
    return on_all([&](SimulatorVector& part, std::size_t first) {
        return part.step(actions.subspan(first, part.size()));
    });
}

void SpreadVector::close() {
    for (auto& part : parts_) {
        try {
            part->close();
        } catch (const SimulatorError&) {
            // A server gone leaves nothing to close.
        }
    }
}

}  // namespace norva_core::sim
