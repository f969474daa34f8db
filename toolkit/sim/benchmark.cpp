#include <chrono>

#include "norva_core/interrupt.h"
#include "norva_core/sim_server_util.h"
#include "sim/declared_space.h"
#include "sim/target.h"

namespace norva_core::sim_server_util {
namespace {

using sim::Json;

bool episode_ended(const Json& result) {
    return result.at("terminated") == true || result.at("truncated") == true;
}

}  // namespace

double benchmark(const std::string& target, long samples) {
    if (samples <= 0) {
        throw std::invalid_argument("the number of samples must be positive");
    }
    // Many steps in a row: over gRPC they share one stream.
    auto opened = sim::open_target(target, "grpc", sim::GrpcSteps::streamed);
    auto& simulator = *opened.simulator;
    simulator.make("benchmark", Json::object());
    auto action_space = sim::declared_space(simulator.action_space(), "action space");
    simulator.reset();

    // Only the steps themselves are timed: sampling and resets are not the simulator's rate.
    std::chrono::steady_clock::duration stepping{};
    for (long sample = 0; sample < samples; ++sample) {
        interrupt::throw_if_pending();
        auto action = action_space.sample(static_cast<std::uint64_t>(sample));
        auto started = std::chrono::steady_clock::now();
        auto result = simulator.step(action);
        stepping += std::chrono::steady_clock::now() - started;
        if (episode_ended(result)) {
            simulator.reset();
        }
    }
    simulator.close();
    double seconds = std::chrono::duration<double>(stepping).count();
    return static_cast<double>(samples) / std::max(seconds, 1e-9);
}

}  // namespace norva_core::sim_server_util
