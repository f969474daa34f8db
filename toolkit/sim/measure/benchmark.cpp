#include <chrono>
#include <string>
#include <vector>

#include "norva_core/interrupt.h"
#include "norva_core/sim_server_util.h"
#include "sim/measure/latency_histogram.h"
#include "sim/space/declared_space.h"
#include "sim/target.h"
#include "sim/worker/worker_vector.h"

namespace norva_core::sim_server_util {
namespace {

using sim::episode_ended;
using sim::Json;

// Steps and their times, as they are taken.
class Stepping {
  public:
    explicit Stepping(const BenchmarkOptions& options) : options_(options) {}

    long total() const { return options_.warmup + options_.samples; }

    void record(long step, std::chrono::steady_clock::duration took) {
        if (step >= options_.warmup) {
            stepping_ += took;
            latencies_.record(std::chrono::duration<double>(took).count());
        }
        if (options_.progress) {
            options_.progress(step + 1, total());
        }
    }

    BenchmarkResult result() const {
        BenchmarkResult measured;
        measured.samples = options_.samples;
        measured.envs = options_.envs;
        measured.warmup = options_.warmup;
        measured.seconds = std::chrono::duration<double>(stepping_).count();
        measured.samples_per_second = static_cast<double>(options_.samples * options_.envs) /
                                      std::max(measured.seconds, 1e-9);
        measured.latency = {latencies_.percentile(0.5), latencies_.percentile(0.9),
                            latencies_.percentile(0.99), latencies_.max()};
        return measured;
    }

  private:
    const BenchmarkOptions& options_;
    std::chrono::steady_clock::duration stepping_{};
    sim::LatencyHistogram latencies_;
};

// The vector resets its own simulators as their episodes end.
BenchmarkResult measure_vector(const std::string& target, const BenchmarkOptions& options) {
    auto envs = static_cast<std::size_t>(options.envs);
    auto vector = sim::open_vector_target(target, "grpc", envs);
    vector->make("benchmark", Json::object());
    auto action_space = sim::declared_space(vector->action_space(), "action space");
    if (auto failure = sim::vector_calls::first_failure(vector->reset({}))) {
        throw *failure;
    }
    Stepping stepping(options);
    std::vector<Json> actions(envs);
    for (long step = 0; step < stepping.total(); ++step) {
        interrupt::throw_if_pending();
        for (std::size_t slot = 0; slot < envs; ++slot) {
            actions[slot] = action_space.sample(static_cast<std::uint64_t>(step) * envs + slot);
        }
        auto started = std::chrono::steady_clock::now();
        auto answers = vector->step(actions);
        stepping.record(step, std::chrono::steady_clock::now() - started);
        if (auto failure = sim::vector_calls::first_failure(answers)) {
            throw *failure;
        }
    }
    vector->close();
    return stepping.result();
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
    if (options.envs < 1 || static_cast<std::size_t>(options.envs) > sim::MAX_VECTOR_SIZE) {
        throw std::invalid_argument("the number of envs must be from 1 to " +
                                    std::to_string(sim::MAX_VECTOR_SIZE));
    }
    if (options.envs > 1) {
        return measure_vector(target, options);
    }
    // Many steps in a row: over gRPC they share one stream.
    auto opened = sim::open_target(target, "grpc", sim::GrpcSteps::streamed);
    auto& simulator = *opened.simulator;
    simulator.make("benchmark", Json::object());
    auto action_space = sim::declared_space(simulator.action_space(), "action space");
    simulator.reset();

    // Only the steps themselves are timed: sampling and resets are not the simulator's rate.
    Stepping stepping(options);
    for (long step = 0; step < stepping.total(); ++step) {
        interrupt::throw_if_pending();
        auto action = action_space.sample(static_cast<std::uint64_t>(step));
        auto started = std::chrono::steady_clock::now();
        auto result = simulator.step(action);
        stepping.record(step, std::chrono::steady_clock::now() - started);
        if (episode_ended(result)) {
            simulator.reset();
        }
    }
    simulator.close();
    return stepping.result();
}

}  // namespace norva_core::sim_server_util
