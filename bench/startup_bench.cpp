// Whole-process wall time and peak memory of norva's quickest commands, beside `true` (the
// floor of any process) and an interpreter that imports what a Python client would.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs the command to its end with its output discarded; its peak resident memory in KiB.
long run_once(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

void startup(benchmark::State& state, std::vector<std::string> command) {
    long peak = 0;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        long rss = run_once(command);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (rss < 0) {
            state.SkipWithError(("cannot run " + command[0]).c_str());
            return;
        }
        peak = std::max(peak, rss);
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
}

const std::string norva = NORVA_BINARY;

BENCHMARK_CAPTURE(startup, true, {"true"})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startup, python_client_floor,
                  {"python3", "-c", "import json, ssl, asyncio, http.client, argparse"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startup, norva_version, {norva, "--version"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startup, norva_sim_help, {norva, "sim", "--help"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startup, norva_compute_connect_help, {norva, "compute", "connect", "--help"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
