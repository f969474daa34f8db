// Vectors: N test simulators stepped as one, locally and served by `norva sim run` over both
// protocols, one process each or batched (256 in 4 processes of 64), beside their references
// from the same run: N multiprocessing.Pipe workers stepped in lock-step (the usual Python vector
// env), grpcio stepping one vector, and N grpcio clients stepping a session each. A Python
// environment class served through norva_sim.worker (64 in 2 processes of 32), locally and
// through the Python client, beside the same class in 16 Pipe workers. Every rate has beside
// it the CPU an environment's step costs; also the server's memory and threads with a vector of
// 8, 256, and 1,024 in 16 processes. A vector over two servers beside a server alone; a vector
// whose simulators take uneven times, with and without a batch_size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "norva_core/process.h"
#include "processes.h"
#include "served_sim.h"
#include "sim/common/manifest.h"
#include "sim/remote/remote_simulator.h"
#include "sim/remote/spread_vector.h"
#include "sim/worker/worker_vector.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::SimulatorVector;

// Steps the vector; beside the rate, the CPU that an environment's step costs this process and
// `others` (the simulators, and a server), which are found once the vector is made.
void step_vector(benchmark::State& state, SimulatorVector& vector,
                 const std::function<std::vector<pid_t>()>& others) {
    vector.make("bench", Json::object());
    vector.reset({});
    const std::vector<Json> actions(vector.size(), Json::array({0.1, -0.1}));
    norva_bench::CpuPerStep cpu(others());
    for (auto _ : state) {
        auto answers = vector.step(actions);
        if (answers.front().error) {
            state.SkipWithError(answers.front().error->what());
            return;
        }
    }
    auto env_steps = static_cast<long>(state.iterations() * vector.size());
    state.SetItemsProcessed(env_steps);
    state.counters["cpu_us_per_step"] = cpu.per_step_us(env_steps);
    vector.close();
}

std::vector<pid_t> simulators() {
    return norva_bench::descendants(::getpid());
}

// The servers' processes and the simulators they started.
std::vector<pid_t> server_and_simulators(
    std::initializer_list<const norva_bench::ServedSim*> servers) {
    std::vector<pid_t> pids;
    for (const auto* server : servers) {
        auto simulators = norva_bench::descendants(server->pid());
        pids.insert(pids.end(), simulators.begin(), simulators.end());
        pids.push_back(server->pid());
    }
    return pids;
}

void local_vector_of(benchmark::State& state, const std::filesystem::path& folder) {
    norva_core::sim::WorkerVector vector(folder, norva_core::sim::load_manifest(folder),
                                         {std::chrono::seconds(30)},
                                         static_cast<std::size_t>(state.range(0)));
    step_vector(state, vector, simulators);
}

// range(0) environments of a simulator holding range(1) of them a process.
void local_vector(benchmark::State& state) {
    local_vector_of(state, norva_bench::test_sim_folder(static_cast<std::size_t>(state.range(1))));
}

void local_python_vector(benchmark::State& state) {
    local_vector_of(state,
                    norva_bench::python_env_folder(static_cast<std::size_t>(state.range(1))));
}

void served_vector(benchmark::State& state, const std::string& protocol) {
    norva_bench::ServedSim server(protocol, static_cast<std::size_t>(state.range(1)));
    norva_core::sim::Address address{"127.0.0.1", server.port()};
    auto count = static_cast<std::size_t>(state.range(0));
    auto vector = protocol == "grpc" ? norva_core::sim::connect_grpc_vector(address, count)
                                     : norva_core::sim::connect_http_vector(address, count);
    step_vector(state, *vector, [&] { return server_and_simulators({&server}); });
}

// range(0) environments over two servers on this machine, half on each, over gRPC.
void spread_vector(benchmark::State& state) {
    norva_bench::ServedSim first("grpc");
    norva_bench::ServedSim second("grpc");
    auto halves = norva_core::sim::shares(static_cast<std::size_t>(state.range(0)), 2);
    std::vector<std::unique_ptr<SimulatorVector>> parts;
    parts.push_back(norva_core::sim::connect_grpc_vector({"127.0.0.1", first.port()}, halves[0]));
    parts.push_back(norva_core::sim::connect_grpc_vector({"127.0.0.1", second.port()}, halves[1]));
    norva_core::sim::SpreadVector vector(std::move(parts));
    step_vector(state, vector, [&] { return server_and_simulators({&first, &second}); });
}

// What a Python peer steps: simulators of its own, or a vector `sim run` serves.
enum class PeerOf { test_sims, itself, served_test_sim, served_python_env };

// A Python peer run by the system interpreter; it reports its own steps and time. The CPU per
// step is of every process involved.
void python_vector_peer(benchmark::State& state, const std::vector<std::string>& arguments,
                        PeerOf stepped) {
    std::optional<norva_bench::ServedSim> server;
    std::vector<std::string> command{"/usr/bin/python3", PYTHON_PEERS};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back(std::to_string(state.range(0)));
    if (stepped == PeerOf::test_sims) {
        command.insert(command.end(), {TEST_SIM_BINARY, "good"});
    } else if (stepped != PeerOf::itself) {
        if (stepped == PeerOf::served_test_sim) {
            server.emplace("grpc");
        } else {
            server.emplace("grpc", norva_bench::python_env_folder(32));
        }
        command.insert(command.end(), {SIM_PROTO_FILE, std::to_string(server->port())});
    }
    for (auto _ : state) {
        std::optional<norva_bench::CpuPerStep> serving;
        if (server) {
            // The server's simulators start with the peer's vector; its own CPU is counted here.
            serving.emplace(std::vector<pid_t>{server->pid()});
        }
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
        state.counters["client_cpu_us_per_step"] = cpu / static_cast<double>(steps) * 1e6;
        // The server and its simulators (which exit before they can be read) are left out:
        // the figure beside is the client's.
        state.counters["cpu_us_per_step"] = (cpu + (serving ? serving->per_step_us(1) / 1e6 : 0)) /
                                            static_cast<double>(steps) * 1e6;
    }
}

long threads_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stol(line.substr(8));
        }
    }
    return 0;
}

// The server's resident memory and threads with one vector of range(0) open, range(1)
// environments a process, simulators apart.
void vector_serving_memory(benchmark::State& state) {
    norva_bench::ServedSim server("grpc", static_cast<std::size_t>(state.range(1)));
    auto vector = norva_core::sim::connect_grpc_vector({"127.0.0.1", server.port()},
                                                       static_cast<std::size_t>(state.range(0)));
    vector->make("bench", Json::object());
    vector->reset({});
    const std::vector<Json> actions(vector->size(), Json::array({0.0, 0.0}));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vector->step(actions));
    }
    state.counters["server_rss_kib"] = static_cast<double>(norva_bench::resident_kib(server.pid()));
    state.counters["server_threads"] = static_cast<double>(threads_of(server.pid()));
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
BENCHMARK(local_python_vector)->Args({64, 32})->MinTime(2.0)->UseRealTime();
BENCHMARK(spread_vector)->Arg(64)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(served_vector, grpc, std::string("grpc"))
    ->Args({8, 1})
    ->Args({32, 1})
    ->Args({64, 1})
    ->Args({256, 64})
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served_vector, http, std::string("http"))
    ->Args({8, 1})
    ->Args({64, 1})
    ->Args({256, 64})
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(python_vector_peer, mp_vector, {"mp_vector", "1000"}, PeerOf::test_sims)
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, drift_vector, {"drift_vector", "2000"}, PeerOf::itself)
    ->Arg(16)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, grpcio_vector, {"grpcio_vector", "1000"},
                  PeerOf::served_test_sim)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, grpcio_packed_vector, {"grpcio_packed_vector", "1000"},
                  PeerOf::served_test_sim)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, norva_sim_vector, {"norva_sim_vector", "1000"},
                  PeerOf::served_test_sim)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, norva_sim_drift_vector, {"norva_sim_vector", "1000"},
                  PeerOf::served_python_env)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, uneven_lockstep, {"uneven_vector", "300", "0"},
                  PeerOf::served_test_sim)
    ->Arg(16)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, uneven_batch_size, {"uneven_vector", "600", "8"},
                  PeerOf::served_test_sim)
    ->Arg(16)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(python_vector_peer, grpcio_sessions, {"grpcio_sessions", "2000"},
                  PeerOf::served_test_sim)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(vector_serving_memory)->Args({256, 1})->Args({8, 1})->Args({1024, 64})->Iterations(20);

}  // namespace
