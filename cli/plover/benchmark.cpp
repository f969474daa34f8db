#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>

#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/sim_server_util.h"
#include "norva_core/text_forms.h"

namespace plover {
namespace {

using norva_core::sim_server_util::BenchmarkResult;

double milliseconds(double seconds) {
    return seconds * 1000;
}

std::string latency_line(const BenchmarkResult& measured) {
    using norva_core::text_forms::three_digits;
    const auto& latency = measured.latency;
    return std::string(measured.envs > 1 ? "Vector step latency" : "Step latency") + ": p50 " +
           three_digits(milliseconds(latency.p50)) + " ms, p90 " +
           three_digits(milliseconds(latency.p90)) + " ms, p99 " +
           three_digits(milliseconds(latency.p99)) + " ms, max " +
           three_digits(milliseconds(latency.max)) + " ms";
}

nlohmann::ordered_json measured_document(const BenchmarkResult& measured) {
    const auto& latency = measured.latency;
    // "samples" counts calls (vector steps), as --samples does; "env_steps" and the rate count
    // the steps of every simulator.
    return {{"samples", measured.samples},
            {"envs", measured.envs},
            {"env_steps", measured.samples * measured.envs},
            {"warmup", measured.warmup},
            {"seconds", measured.seconds},
            {"samples_per_second", measured.samples_per_second},
            {"step_latency_ms",
             {{"p50", milliseconds(latency.p50)},
              {"p90", milliseconds(latency.p90)},
              {"p99", milliseconds(latency.p99)},
              {"max", milliseconds(latency.max)}}}};
}

}  // namespace

void benchmark(OptionalText path, OptionalText path_option, OptionalText address,
               std::string samples, const BenchmarkReport& report) {
    // A rate over no steps at all would divide by nothing.
    long sample_count = _to_count("--samples", samples, 1, "samples");
    norva_core::async_util::async_to_sync(_benchmark)(_final_path(path, path_option), address,
                                                      sample_count, report);
}

void _benchmark(OptionalText path, OptionalText address, long samples,
                const BenchmarkReport& report) {
    std::string target = _target(path, address);
    BenchmarkResult measured;
    {
        // Progress is for people at a terminal: never with --json, and cleared before results.
        std::optional<norva_core::console::Progress> bar;
        if (!report.json) {
            bar.emplace(console, "Benchmarking", norva_core::console::ProgressUnit::steps);
        }
        norva_core::sim_server_util::BenchmarkOptions options{
            .samples = samples, .envs = report.envs, .warmup = report.warmup, .progress = nullptr};
        if (bar) {
            options.progress = [&bar](long done, long total) {
                bar->update(static_cast<std::uint64_t>(done), static_cast<std::uint64_t>(total));
            };
        }
        measured = norva_core::sim_server_util::measure(target, options);
    }
    if (report.json) {
        console.print(measured_document(measured));
        return;
    }
    std::string rate =
        "Samples per second: " + norva_core::text_forms::float_repr(measured.samples_per_second);
    if (measured.envs > 1) {
        rate += " (" + std::to_string(measured.envs) + " envs stepped as one vector)";
    }
    print(rate);
    if (report.latency) {
        print(latency_line(measured));
    }
}

const CommandTable BENCHMARK_COMMAND{
    "benchmark",
    "Benchmarks a sim to see how many samples per second we can get",
    {{"PATH", "Path to the sim (positional argument)"},
     {"-p,--path", "Path to the sim (option)"},
     {"-a,--address", "Address to the sim, e.g., localhost:1337"},
     {"-s,--samples", "Number of samples to benchmark", "1000"},
     {"--envs",
      "Number of simulators stepped together as one vector; a sample is then one vector step", "1"},
     {"--warmup", "Steps taken first and left out of every figure", "0"},
     {"--latency", "Also print the step time's p50, p90, p99 and max", std::nullopt, Form::flag},
     JSON_FLAG}};

void benchmark_command(const Values& values) {
    auto warmup = values.given("--warmup");
    auto envs = values.given("--envs");
    BenchmarkReport report{warmup ? _to_count("--warmup", *warmup, 0, "steps") : 0,
                           envs ? _to_count("--envs", *envs, 1, "envs") : 1,
                           values.flag("--latency"), values.flag("--json")};
    benchmark(values.given("PATH"), values.given("--path"), values.given("--address"),
              values.text("--samples"), report);
}

}  // namespace plover
