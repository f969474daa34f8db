#include <fmt/format.h>

#include <chrono>

#include "norva_core/interrupt.h"
#include "os/os.h"
#include "sim/validate/validation_run.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim::validation {
namespace {

const std::string CHECK = "resources";

constexpr int EPISODES = 14;
// The first episodes warm the simulator up: caches fill, libraries load.
constexpr int WARM_UP = 3;
constexpr auto TIME_BUDGET = std::chrono::seconds(3);
// Growth this small is noise or a cache reaching its size.
constexpr double MEMORY_MARGIN = 2.0 * 1024 * 1024;
constexpr double DESCRIPTOR_MARGIN = 3;
// Steady: the figure rose between most of the episodes measured.
constexpr double RISING_SHARE = 0.7;

struct Growth {
    double per_episode = 0;
    double total = 0;
};

std::optional<Growth> steady_growth(const std::vector<double>& figures, double margin) {
    if (figures.size() < 4) {
        return std::nullopt;
    }
    std::size_t rising = 0;
    for (std::size_t i = 1; i < figures.size(); ++i) {
        rising += figures[i] > figures[i - 1] ? 1 : 0;
    }
    double total = figures.back() - figures.front();
    if (total <= margin ||
        static_cast<double>(rising) < RISING_SHARE * static_cast<double>(figures.size() - 1)) {
        return std::nullopt;
    }
    return Growth{total / static_cast<double>(figures.size() - 1), total};
}

}  // namespace

void check_resources(Run& run, const Opener& open, const Spaces& spaces,
                     const ValidationOptions& options) {
    auto opened = open();
    if (!opened.process) {
        return;
    }
    run.ran(CHECK);
    auto& simulator = *opened.simulator;
    run.call(CHECK, [&] { simulator.make("validation", Json::object()); });
    ActionSequence actions(spaces.action, options.seed);
    std::vector<double> memory;
    std::vector<double> descriptors;
    auto started = std::chrono::steady_clock::now();
    for (int episode = 0; episode < EPISODES; ++episode) {
        if (std::chrono::steady_clock::now() - started > TIME_BUDGET) {
            break;
        }
        run.call(CHECK, [&] { return simulator.reset(); });
        for (int step = 0; step < options.steps; ++step) {
            interrupt::throw_if_pending();
            auto result = run.call(CHECK, [&] { return simulator.step(actions.next()); });
            if (episode_ended(result)) {
                break;
            }
        }
        auto pid = opened.process->process_id();
        auto usage = pid ? os::process_usage(*pid) : std::nullopt;
        if (!usage) {
            return;
        }
        if (episode >= WARM_UP) {
            memory.push_back(static_cast<double>(usage->resident_bytes));
            descriptors.push_back(static_cast<double>(usage->open_descriptors));
        }
    }
    if (auto growth = steady_growth(memory, MEMORY_MARGIN)) {
        constexpr double MIB = 1024.0 * 1024.0;
        run.warning(CHECK,
                    fmt::format("resident memory grew by {:.2f} MiB an episode over {} "
                                "episodes ({:.1f} MiB in all); a long training run will "
                                "exhaust it",
                                growth->per_episode / MIB, memory.size() - 1, growth->total / MIB));
    }
    if (auto growth = steady_growth(descriptors, DESCRIPTOR_MARGIN)) {
        run.warning(CHECK, fmt::format("open file descriptors grew by {:.1f} an episode over {} "
                                       "episodes ({:.0f} in all); something opened is never "
                                       "closed",
                                       growth->per_episode, descriptors.size() - 1, growth->total));
    }
    run.call(CHECK, [&] { simulator.close(); });
}

}  // namespace norva_core::sim::validation
