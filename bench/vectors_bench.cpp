// Vectors: N test simulators stepped as one, locally and served by `norva sim run` over both
// protocols, beside their references from the same run: N multiprocessing.Pipe workers stepped
// in lock-step (the usual Python vector env), grpcio stepping one vector, and N grpcio clients
// stepping a session each. Also the server's memory with a vector of 256.
#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "norva_core/process.h"
#include "processes.h"
#include "served_sim.h"
#include "sim/common/manifest.h"
#include "sim/remote/remote_simulator.h"
#include "sim/worker/worker_vector.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorVector;

void step_vector(benchmark::State& state, SimulatorVector& vector) {
    vector.make("bench", Json::object());
    vector.reset({});
    const std::vector<Json> actions(vector.size(), Json::array({0.1, -0.1}));
    for (auto _ : state) {
        auto answers = vector.step(actions);
        if (answers.front().error) {
            state.SkipWithError(answers.front().error->what());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(vector.size()));
    vector.close();
}

// range(0) environments of a simulator holding range(1) of them a process.
void local_vector(benchmark::State& state) {
    const auto& folder = norva_bench::test_sim_folder(static_cast<std::size_t>(state.range(1)));
    norva_core::sim::WorkerVector vector(folder, norva_core::sim::load_manifest(folder),
                                         {std::chrono::seconds(30)},
                                         static_cast<std::size_t>(state.range(0)));
    step_vector(state, vector);
}

void served_vector(benchmark::State& state, const std::string& protocol) {
    norva_bench::ServedSim server(protocol);
    norva_core::sim::Address address{"127.0.0.1", server.port()};
    auto count = static_cast<std::size_t>(state.range(0));
    auto vector = protocol == "grpc" ? norva_core::sim::connect_grpc_vector(address, count)
                                     : norva_core::sim::connect_http_vector(address, count);
    step_vector(state, *vector);
}

// A Python peer run by the system interpreter; it reports its own steps and time.
void python_vector_peer(benchmark::State& state, const std::vector<std::string>& arguments,
                        const std::string& protocol) {
    std::optional<norva_bench::ServedSim> server;
    std::vector<std::string> command{"/usr/bin/python3", PYTHON_PEERS};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back(std::to_string(state.range(0)));
    if (protocol.empty()) {
        command.insert(command.end(), {TEST_SIM_BINARY, "good"});
    } else {
        server.emplace(protocol);
        command.insert(command.end(), {SIM_PROTO_FILE, std::to_string(server->port())});
    }
    for (auto _ : state) {
        auto done = norva_core::process::run(command);
        std::istringstream figures(done.out);
        long steps = 0;
        double wall = 0;
        if (done.exit_code != 0 || !(figures >> steps >> wall)) {
            state.SkipWithError(("the Python peer failed: " + done.err).c_str());
            return;
        }
        double cpu = 0;
        figures >> cpu;
        state.SetIterationTime(wall);
        state.SetItemsProcessed(steps);
        state.counters["cpu_us_per_step"] = cpu / static_cast<double>(steps) * 1e6;
    }
}

// The server's resident memory with one vector of N open, simulators apart.
void vector_serving_memory(benchmark::State& state) {
    norva_bench::ServedSim server("grpc");
    auto vector = norva_core::sim::connect_grpc_vector({"127.0.0.1", server.port()},
                                                       static_cast<std::size_t>(state.range(0)));
    vector->make("bench", Json::object());
    vector->reset({});
    const std::vector<Json> actions(vector->size(), Json::array({0.0, 0.0}));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vector->step(actions));
    }
    state.counters["server_rss_kib"] = static_cast<double>(norva_bench::resident_kib(server.pid()));
}

// How long a server with a vector of N open takes to stop: every simulator ended at once, so it
// should grow with N no faster than linearly.
void stopping_with_vector(benchmark::State& state) {
    for (auto _ : state) {
        norva_bench::ServedSim server("grpc");
        auto vector = norva_core::sim::connect_grpc_vector(
            {"127.0.0.1", server.port()}, static_cast<std::size_t>(state.range(0)));
        vector->make("bench", Json::object());
        vector->reset({});
        auto started = std::chrono::steady_clock::now();
        server.stop();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
}

BENCHMARK(stopping_with_vector)
    ->Arg(128)
    ->Arg(256)
    ->Arg(512)
    ->Arg(1024)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(local_vector)->Args({8, 1})->Args({64, 1})->Args({256, 64})->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(served_vector, grpc, std::string("grpc"))
    ->Arg(8)
    ->Arg(64)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served_vector, http, std::string("http"))
    ->Arg(8)
    ->Arg(64)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(python_vector_peer, mp_vector, {"mp_vector", "1000"}, std::string())
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, grpcio_vector, {"grpcio_vector", "1000"}, std::string("grpc"))
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, norva_sim_vector, {"norva_sim_vector", "1000"},
                  std::string("grpc"))
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, grpcio_sessions, {"grpcio_sessions", "2000"},
                  std::string("grpc"))
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(vector_serving_memory)->Arg(256)->Iterations(20);

}  // namespace
