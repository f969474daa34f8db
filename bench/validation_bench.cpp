// Wall time of `norva sim validate` on the template sim that `norva sim new` writes: every check,
// with the simulators each group starts, as an author runs it before publishing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "norva_core/process.h"
#include "temp_dir.h"

namespace {

void validate_template(benchmark::State& state) {
    static const norva_test::TempDir dir;
    auto folder = dir.path() / "thermo";
    if (!std::filesystem::exists(folder)) {
        norva_core::process::Options in_dir;
        in_dir.cwd = dir.path().string();
        auto made = norva_core::process::run(
            {NORVA_BINARY, "sim", "new", "-n", "thermo", "-d", "A thermostat", "-l", "."}, in_dir);
        if (made.exit_code != 0) {
            state.SkipWithError(("cannot write the template: " + made.err).c_str());
            return;
        }
    }
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        auto done = norva_core::process::run({NORVA_BINARY, "sim", "validate", folder.string()});
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        if (done.exit_code != 0) {
            state.SkipWithError(("the template does not validate: " + done.out).c_str());
            return;
        }
        state.SetIterationTime(took.count());
    }
}

BENCHMARK(validate_template)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
