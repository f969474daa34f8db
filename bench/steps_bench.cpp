// Steps per second of the fast test simulator, and the CPU time each step costs every process
// involved: straight over its pipes (the limit of a session), then through `norva sim run` over
// each protocol; beside the floors of a bare pipe and a loopback TCP round trip, and beside the
// Python designs a user would otherwise pick. Every loop resets the episode every tenth step
// and counts only the steps.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "norva_core/process.h"
#include "norva_core/unique_fd.h"
#include "processes.h"
#include "served_sim.h"
#include "sim/common/manifest.h"
#include "sim/remote/remote_simulator.h"
#include "sim/worker/worker_process.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using norva_core::sim::Json;
using norva_core::sim::Simulator;

void count_steps(benchmark::State& state, const norva_bench::CpuPerStep& cpu) {
    state.SetItemsProcessed(state.iterations());
    state.counters["cpu_us_per_step"] = cpu.per_step_us(static_cast<long>(state.iterations()));
}

enum class CpuOf { all_processes, this_one };

void step_loop(benchmark::State& state, Simulator& simulator,
               CpuOf counted = CpuOf::all_processes) {
    simulator.make("bench", Json::object());
    simulator.reset();
    const Json action = Json::array({0.1, -0.1});
    norva_bench::CpuPerStep cpu(counted == CpuOf::all_processes
                                    ? norva_bench::descendants(::getpid())
                                    : std::vector<pid_t>{});
    for (auto _ : state) {
        auto result = simulator.step(action);
        if (result.at("terminated").get<bool>() || result.at("truncated").get<bool>()) {
            simulator.reset();
        }
    }
    count_steps(state, cpu);
    simulator.close();
}

// Writes the line and reads as many bytes back.
bool round_trip(int out, int in, const std::string& line) {
    if (::write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        return false;
    }
    char buffer[4096];
    for (std::size_t got = 0; got < line.size();) {
        ssize_t count = ::read(in, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(count);
    }
    return true;
}

// A line the size of a step answer.
const std::string ANSWER_SIZED = std::string(160, 'x') + "\n";

// A process that echoes what it reads, with its stdin and stdout piped to this one.
norva_core::process::Child echoing(const std::vector<std::string>& command) {
    norva_core::process::Options options;
    options.out = norva_core::process::Output::capture;
    return norva_core::process::Child(command, options, true);
}

// Sends the line out and reads it back from the echoing process, once per iteration.
void echo_loop(benchmark::State& state, int out, int in, pid_t echoer) {
    norva_bench::CpuPerStep cpu({echoer});
    for (auto _ : state) {
        if (!round_trip(out, in, ANSWER_SIZED)) {
            state.SkipWithError("the echoing process stopped");
            return;
        }
    }
    count_steps(state, cpu);
}

// What any two processes pay for a line there and back over pipes on this machine: `cat`
// echoing a line the size of a step answer.
void bare_pipe(benchmark::State& state) {
    auto cat = echoing({"cat"});
    echo_loop(state, cat.stdin_fd(), cat.stdout_fd(), cat.pid());
}

// The same over a loopback TCP connection, to a process that echoes.
void loopback_tcp(benchmark::State& state) {
    auto echo = echoing({TCP_ECHO_BINARY});
    std::string port_line;
    char digit = 0;
    while (::read(echo.stdout_fd(), &digit, 1) == 1 && digit != '\n') {
        port_line += digit;
    }
    norva_core::UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port_line.c_str())));
    int yes = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot reach the echoing process");
        return;
    }
    echo_loop(state, socket.get(), socket.get(), echo.pid());
}

// A Python peer run by the system interpreter; it reports its own steps, time and CPU.
void python_peer(benchmark::State& state, std::vector<std::string> command) {
    command.insert(command.begin(), {"/usr/bin/python3", PYTHON_PEERS});
    for (auto _ : state) {
        auto done = norva_core::process::run(command);
        std::istringstream figures(done.out);
        long steps = 0;
        double wall = 0, cpu = 0;
        if (done.exit_code != 0 || !(figures >> steps >> wall >> cpu)) {
            state.SkipWithError(("the Python peer failed: " + done.err).c_str());
            return;
        }
        state.SetIterationTime(wall);
        state.SetItemsProcessed(steps);
        state.counters["cpu_us_per_step"] = cpu / static_cast<double>(steps) * 1e6;
    }
}

void worker_pipe(benchmark::State& state) {
    const auto& folder = norva_bench::test_sim_folder();
    norva_core::sim::WorkerProcess worker(folder, norva_core::sim::load_manifest(folder),
                                          {std::chrono::seconds(30)});
    step_loop(state, worker);
}

// The worker's own CPU per step beside a simulator that takes a millisecond: the wait for an
// answer spins only while answers come within the spin, so here it should cost next to nothing.
void worker_pipe_slow_simulator(benchmark::State& state) {
    static const norva_test::TempDir dir;
    auto folder = norva_test::write_test_sim(dir.path(), "millisecond");
    norva_core::sim::WorkerProcess worker(folder, norva_core::sim::load_manifest(folder),
                                          {std::chrono::seconds(30)});
    step_loop(state, worker, CpuOf::this_one);
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
BENCHMARK(loopback_tcp)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(python_peer, mp_pipe, {"mp_pipe", "30000"})->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(python_peer, json_lines, {"json_lines", "30000", TEST_SIM_BINARY, "good"})
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(worker_pipe)->MinTime(2.0)->UseRealTime();
BENCHMARK(worker_pipe_one_cpu)->MinTime(2.0)->UseRealTime();
BENCHMARK(worker_pipe_slow_simulator)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_streamed, std::string("grpc"), GrpcSteps::streamed)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, grpc_unary, std::string("grpc"), GrpcSteps::unary)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_CAPTURE(served, http, std::string("http"), GrpcSteps::unary)->MinTime(2.0)->UseRealTime();

}  // namespace
