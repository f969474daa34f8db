#include "sim/common/simulator.h"

#include <fmt/format.h>

#include <stdexcept>

namespace norva_core::sim {

void check_action_count(std::size_t actions, std::size_t simulators) {
    if (actions != simulators) {
        throw std::invalid_argument(
            fmt::format("{} {} for a vector of {} simulators; give one each", actions,
                        actions == 1 ? "action" : "actions", simulators));
    }
}

void check_seed_count(std::size_t seeds, std::size_t simulators) {
    if (seeds != simulators) {
        throw std::invalid_argument(
            fmt::format("{} {} for a vector of {} simulators; give one each, or one seed for all",
                        seeds, seeds == 1 ? "seed" : "seeds", simulators));
    }
}

}  // namespace norva_core::sim
