// Steps per second of the fast test simulator: beside a bare pipe round trip, straight over its
// pipes (the limit of a session), then through `norva sim run` over each protocol.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "norva_core/process.h"
#include "served_sim.h"
#include "sim/manifest.h"
#include "sim/transport/remote_simulator.h"
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

// What any two processes pay for a line there and back over pipes on this machine: `cat`
// echoing a line the size of a step answer.
void bare_pipe(benchmark::State& state) {
    norva_core::process::Options options;
    options.out = norva_core::process::Output::capture;
    norva_core::process::Child cat({"cat"}, options, true);
    const std::string line(160, 'x');
    const std::string sent = line + "\n";
    char buffer[4096];
    for (auto _ : state) {
        if (::write(cat.stdin_fd(), sent.data(), sent.size()) !=
            static_cast<ssize_t>(sent.size())) {
            state.SkipWithError("cat stopped reading");
            return;
        }
        for (std::size_t got = 0; got < sent.size();) {
            ssize_t count = ::read(cat.stdout_fd(), buffer, sizeof buffer);
            if (count <= 0) {
                state.SkipWithError("cat stopped writing");
                return;
            }
            got += static_cast<std::size_t>(count);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void worker_pipe(benchmark::State& state) {
    const auto& folder = norva_bench::test_sim_folder();
    norva_core::sim::WorkerProcess worker(folder, norva_core::sim::load_manifest(folder),
                                          {std::chrono::seconds(30)});
    step_loop(state, worker);
}

// Keeps this process and the children it starts on the CPU it is on, for as long as it lives.
// Two processes on one CPU hand over without waking an idle one, which on a virtual machine
// costs more than everything else a step does.
class OnOneCpu {
  public:
    OnOneCpu() {
        ::sched_getaffinity(0, sizeof before_, &before_);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(::sched_getcpu(), &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }
    ~OnOneCpu() { ::sched_setaffinity(0, sizeof before_, &before_); }
    OnOneCpu(const OnOneCpu&) = delete;
    OnOneCpu& operator=(const OnOneCpu&) = delete;

  private:
    cpu_set_t before_{};
};

void worker_pipe_one_cpu(benchmark::State& state) {
    OnOneCpu pinned;
    worker_pipe(state);
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

BENCHMARK(bare_pipe)->MinTime(2.0)->UseRealTime();
BENCHMARK(worker_pipe)->MinTime(2.0)->UseRealTime();
BENCHMARK(worker_pipe_one_cpu)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_streamed, std::string("grpc"), GrpcSteps::streamed)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_unary, std::string("grpc"), GrpcSteps::unary)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, http, std::string("http"), GrpcSteps::unary)->MinTime(2.0)->UseRealTime();

}  // namespace
