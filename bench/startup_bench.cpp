// Whole-process wall time and peak memory of norva's quickest commands, beside `true` (the
// floor of any process) and the system's Python interpreter importing what a Python client
// would. Each command is started from a small launcher, which times it and reads its peak
// resident memory: a child's peak includes the memory of the process that started it.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "norva_core/process.h"

namespace {

void startup(benchmark::State& state, std::vector<std::string> command) {
    command.insert(command.begin(), PEAK_RSS_LAUNCHER);
    long peak = 0;
    for (auto _ : state) {
        auto done = norva_core::process::run(command);
        std::istringstream figures(done.out);
        long long wall_ns = 0;
        long rss = 0;
        if (done.exit_code != 0 || !(figures >> wall_ns >> rss)) {
            state.SkipWithError(("cannot run " + command[1]).c_str());
            return;
        }
        state.SetIterationTime(static_cast<double>(wall_ns) / 1e9);
        peak = std::max(peak, rss);
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
}

const std::string norva = NORVA_BINARY;

BENCHMARK_CAPTURE(startup, true, {"true"})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startup, python_client_floor,
                  {"/usr/bin/python3", "-c", "import json, ssl, asyncio, http.client, argparse"})
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
