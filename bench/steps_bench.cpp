// Steps per second of the fast test simulator: straight over its pipes (the limit), then
// through `norva sim run` over each protocol.
#include <benchmark/benchmark.h>

#include <memory>

#include "served_sim.h"
#include "sim/manifest.h"
#include "sim/remote_simulator.h"
#include "sim/worker_process.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::Simulator;

void step_loop(benchmark::State& state, Simulator& simulator) {
    simulator.make("bench", Json::object());
    simulator.reset();
    const Json action = Json::array({0.1, -0.1});
    for (auto _ : state) {
        auto result = simulator.step(action);
        if (result.at("terminated").get<bool>() || result.at("truncated").get<bool>()) {
            state.PauseTiming();
            simulator.reset();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    simulator.close();
}

void worker_pipe(benchmark::State& state) {
    const auto& folder = norva_bench::test_sim_folder();
    norva_core::sim::WorkerProcess worker(folder, norva_core::sim::load_manifest(folder),
                                          {std::chrono::seconds(30)});
    step_loop(state, worker);
}

void served(benchmark::State& state, const std::string& protocol,
            norva_core::sim::GrpcSteps steps) {
    norva_bench::ServedSim server(protocol);
    norva_core::sim::Address address{"127.0.0.1", server.port()};
    auto simulator = protocol == "grpc" ? norva_core::sim::connect_grpc(address, steps)
                                        : norva_core::sim::connect_http(address);
    step_loop(state, *simulator);
}

using norva_core::sim::GrpcSteps;

BENCHMARK(worker_pipe)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_streamed, std::string("grpc"), GrpcSteps::streamed)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_unary, std::string("grpc"), GrpcSteps::unary)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, http, std::string("http"), GrpcSteps::unary)->MinTime(2.0)->UseRealTime();

}  // namespace
