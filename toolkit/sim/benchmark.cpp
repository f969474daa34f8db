#include <chrono>

#include "norva_core/interrupt.h"
#include "norva_core/sim_server_util.h"
#include "sim/declared_space.h"
#include "sim/latency_histogram.h"
#include "sim/target.h"

namespace norva_core::sim_server_util {
namespace {

using sim::Json;

bool episode_ended(const Json& result) {
    return result.at("terminated") == true || result.at("truncated") == true;
}

}  // namespace

double benchmark(const std::string& target, long samples) {
    BenchmarkOptions options;
    options.samples = samples;
    return measure(target, options).samples_per_second;
}

BenchmarkResult measure(const std::string& target, const BenchmarkOptions& options) {
    if (options.samples <= 0) {
        throw std::invalid_argument("the number of samples must be positive");
    }
    if (options.warmup < 0) {
        throw std::invalid_argument("the number of warm-up steps cannot be negative");
    }
    // Many steps in a row: over gRPC they share one stream.
    auto opened = sim::open_target(target, "grpc", sim::GrpcSteps::streamed);
    auto& simulator = *opened.simulator;
    simulator.make("benchmark", Json::object());
    auto action_space = sim::declared_space(simulator.action_space(), "action space");
    simulator.reset();

    // Only the steps themselves are timed: sampling and resets are not the simulator's rate.
    const long total = options.warmup + options.samples;
    std::chrono::steady_clock::duration stepping{};
    sim::LatencyHistogram latencies;
    for (long step = 0; step < total; ++step) {
        interrupt::throw_if_pending();
        auto action = action_space.sample(static_cast<std::uint64_t>(step));
        auto started = std::chrono::steady_clock::now();
        auto result = simulator.step(action);
        auto took = std::chrono::steady_clock::now() - started;
        if (step >= options.warmup) {
            stepping += took;
            latencies.record(std::chrono::duration<double>(took).count());
        }
        if (episode_ended(result)) {
            simulator.reset();
        }
        if (options.progress) {
            options.progress(step + 1, total);
        }
    }
    simulator.close();

    BenchmarkResult measured;
    measured.samples = options.samples;
    measured.warmup = options.warmup;
    measured.seconds = std::chrono::duration<double>(stepping).count();
    measured.samples_per_second =
        static_cast<double>(options.samples) / std::max(measured.seconds, 1e-9);
    measured.latency = {latencies.percentile(0.5), latencies.percentile(0.9),
                        latencies.percentile(0.99), latencies.max()};
    return measured;
}

}  // namespace norva_core::sim_server_util
