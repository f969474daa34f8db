// Resident memory of `norva sim run` with one session and with 16, beside what one simulator
// process takes itself.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "processes.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"

namespace {

using norva_core::sim::Json;

// The resident memory of the server's simulator processes.
long simulators_kib(pid_t server) {
    long total = 0;
    for (pid_t pid : norva_bench::descendants(server)) {
        total += norva_bench::resident_kib(pid);
    }
    return total;
}

void serving_memory(benchmark::State& state) {
    const auto sessions = static_cast<std::size_t>(state.range(0));
    norva_bench::ServedSim server("grpc");
    std::vector<std::unique_ptr<norva_core::sim::Simulator>> open;
    for (std::size_t i = 0; i < sessions; ++i) {
        open.push_back(norva_core::sim::connect_grpc({"127.0.0.1", server.port()}));
        open.back()->make("bench", Json::object());
        open.back()->reset();
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(open.back()->step(Json::array({0.0, 0.0})));
    }
    state.counters["server_rss_kib"] = static_cast<double>(norva_bench::resident_kib(server.pid()));
    state.counters["simulators_rss_kib"] = static_cast<double>(simulators_kib(server.pid()));
}

BENCHMARK(serving_memory)->Arg(1)->Arg(16)->Iterations(100);

}  // namespace
