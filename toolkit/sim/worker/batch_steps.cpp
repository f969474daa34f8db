#include "sim/worker/batch_steps.h"

#include <poll.h>

#include <algorithm>

namespace norva_core::sim {

void BatchSteps::send(std::span<const Environment> slots, std::span<const std::size_t> ids,
                      std::span<const Json* const> actions) {
    for (std::size_t k = 0; k < ids.size(); ++k) {
        auto slot = ids[k];
        auto* process = slots[slot].process;
        try {
            if (process == nullptr) {
                throw SimulatorError(SimulatorError::Kind::failed,
                                     "this simulator has ended; reset the vector to start it anew");
            }
            process->send_step(*actions[k]);
            states_[slot] = State::stepping;
        } catch (const SimulatorError& error) {
            answered({slot, SlotAnswer{Json(), error}});
        }
    }
}

void BatchSteps::answered(SlotResult answer) {
    states_[answer.first] = State::answered;
    answers_.push_back(std::move(answer));
}

std::size_t BatchSteps::stepping() const {
    return static_cast<std::size_t>(std::count(states_.begin(), states_.end(), State::stepping));
}

std::vector<SlotResult> BatchSteps::take(std::span<const Environment> slots, std::size_t wanted) {
    // A first look without waiting, so that answers already here cost no poll.
    for (bool now = true; answers_.size() < wanted && stepping() > 0; now = false) {
        gather(slots, now);
    }
    std::vector<SlotResult> taken;
    while (!answers_.empty() && taken.size() < wanted) {
        states_[answers_.front().first] = State::waiting;
        taken.push_back(std::move(answers_.front()));
        answers_.pop_front();
    }
    return taken;
}

void BatchSteps::gather(std::span<const Environment> slots, bool now) {
    std::vector<std::size_t> waited;
    std::vector<pollfd> ready;
    for (std::size_t slot = 0; slot < states_.size(); ++slot) {
        if (states_[slot] == State::stepping) {
            waited.push_back(slot);
            ready.push_back(slots[slot].process->awaited());
        }
    }
    // The time limits are checked at every wake; they are seconds, so a tenth is exact enough.
    if (!now && !ready.empty()) {
        ::poll(ready.data(), ready.size(), 100);
    }
    for (std::size_t k = 0; k < waited.size(); ++k) {
        auto slot = waited[k];
        auto& process = *slots[slot].process;
        try {
            // What has come is read before the time limit is looked at: an answer that came
            // while no call waited for it (the client paused between its calls) is an answer.
            if ((now || ready[k].revents != 0) && process.advance()) {
                answered({slot, SlotAnswer{process.receive(), std::nullopt}});
                continue;
            }
            process.check_waiting();
        } catch (const SimulatorError& error) {
            answered({slot, SlotAnswer{Json(), error}});
        }
    }
}

std::vector<SlotResult> BatchSteps::drain(std::span<const Environment> slots) {
    return take(slots, states_.size());
}

}  // namespace norva_core::sim
