#pragma once

#include <functional>
#include <memory>
#include <string>

#include "norva_core/sim_errors.h"
#include "norva_core/space.h"

// Implemented in toolkit/sim/measure/benchmark.cpp and toolkit/sim/sim_client.cpp. Both throw
// SimulatorError for a sim that fails, ManifestError for a folder without a readable manifest,
// std::invalid_argument for a bad target, and Interrupted when a signal ends a wait.
namespace norva_core::sim_server_util {

// Steps per second of stepping time over `samples` steps.
double benchmark(const std::string& target, long samples);

struct BenchmarkOptions {
    // With more than one env, a sample is one step of a vector of that many simulators,
    // stepped together.
    long samples = 1000;
    long envs = 1;
    // Steps taken first and left out of every figure (caches, JIT, first allocations).
    long warmup = 0;
    // Called after each step with the steps done and the steps in all, warm-up included.
    std::function<void(long done, long total)> progress;
};

// Seconds per step; percentiles within 1% of the exact ones, the maximum exact.
struct StepLatency {
    double p50 = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

struct BenchmarkResult {
    long samples = 0;
    long envs = 1;
    long warmup = 0;
    // Stepping time alone: sampling actions and resets are not the simulator's rate.
    double seconds = 0;
    // Simulator steps per second: samples times envs over the stepping time.
    double samples_per_second = 0;
    // The time of one step; of one vector step with more than one env.
    StepLatency latency;
};

BenchmarkResult measure(const std::string& target, const BenchmarkOptions& options);

class SpaceClient {
  public:
    virtual ~SpaceClient() = default;
    virtual Space action_space_info() = 0;
    virtual Space sensor_space_info() = 0;
};

std::unique_ptr<SpaceClient> create_client(const std::string& protocol, const std::string& env_id,
                                           const std::string& host, int port);

}  // namespace norva_core::sim_server_util
