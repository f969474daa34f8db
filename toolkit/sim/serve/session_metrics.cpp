#include "sim/serve/session_metrics.h"

#include <fmt/format.h>

#include <algorithm>

namespace norva_core::sim {
namespace {

void describe(std::string& text, const char* name, const char* type, const char* help) {
    text += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

// A metric of one sample: its description and its value.
void single(std::string& text, const char* name, const char* type, const char* help,
            std::uint64_t value) {
    describe(text, name, type, help);
    text += fmt::format("{} {}\n", name, value);
}

}  // namespace

void SessionMetrics::steps_answered(std::size_t count, std::chrono::steady_clock::duration took) {
    double seconds = std::chrono::duration<double>(took).count();
    auto bucket = static_cast<std::size_t>(
        std::lower_bound(STEP_BUCKETS.begin(), STEP_BUCKETS.end(), seconds) - STEP_BUCKETS.begin());
    std::lock_guard lock(steps_mutex_);
    steps_ += count;
    step_seconds_ += seconds * static_cast<double>(count);
    step_buckets_[bucket] += count;
}

void SessionMetrics::simulator_failed(bool timed_out) {
    ++failures_;
    if (timed_out) {
        ++over_time_limit_;
    }
}

std::string SessionMetrics::render(std::size_t open_sessions,
                                   std::optional<std::size_t> resident_bytes) const {
    std::string text;
    single(text, "norva_sim_sessions_open", "gauge", "Sessions open now.", open_sessions);
    single(text, "norva_sim_processes", "gauge",
           "Simulator processes running now; one of a batched simulator holds several sessions.",
           processes_);
    single(text, "norva_sim_sessions_created_total", "counter",
           "Sessions made since the server started.", sessions_created_);

    std::uint64_t steps = 0;
    double seconds = 0;
    std::array<std::uint64_t, STEP_BUCKETS.size() + 1> buckets{};
    {
        std::lock_guard lock(steps_mutex_);
        steps = steps_;
        seconds = step_seconds_;
        buckets = step_buckets_;
    }
    single(text, "norva_sim_steps_total", "counter", "Steps the simulators answered.", steps);
    describe(text, "norva_sim_step_duration_seconds", "histogram",
             "Time from a step's request to its answer, measured in the server.");
    std::uint64_t cumulative = 0;
    for (std::size_t bucket = 0; bucket < STEP_BUCKETS.size(); ++bucket) {
        cumulative += buckets[bucket];
        text += fmt::format("norva_sim_step_duration_seconds_bucket{{le=\"{}\"}} {}\n",
                            STEP_BUCKETS[bucket], cumulative);
    }
    text += fmt::format("norva_sim_step_duration_seconds_bucket{{le=\"+Inf\"}} {}\n", steps);
    text += fmt::format("norva_sim_step_duration_seconds_sum {}\n", seconds);
    text += fmt::format("norva_sim_step_duration_seconds_count {}\n", steps);

    single(text, "norva_sim_session_start_failures_total", "counter",
           "Sessions refused because their simulator could not be started or made.",
           start_failures_);
    single(text, "norva_sim_simulator_failures_total", "counter",
           "Simulators that ended, broke the protocol or gave no answer in time; their "
           "sessions were closed.",
           failures_);
    single(text, "norva_sim_answers_over_time_limit_total", "counter",
           "Calls whose simulator gave no answer within the time limit.", over_time_limit_);
    single(text, "norva_sim_actions_out_of_bounds_total", "counter",
           "Actions passed to the simulator with a value outside its box's bounds, which "
           "the simulator is left to clip.",
           actions_out_of_bounds_);
    single(text, "norva_sim_observations_outside_space_total", "counter",
           "Observations a simulator gave outside its own sensor space, passed on as they "
           "were; the log names the first of each session.",
           observations_outside_space_);
    single(text, "norva_sim_steps_refused_total", "counter",
           "Steps an environment answered with an error of its own; in a vector that ends the "
           "slot's episode. The log names the first of each session.",
           steps_refused_);
    if (resident_bytes) {
        single(text, "norva_sim_resident_memory_bytes", "gauge",
               "Resident memory of the server, its simulators not counted.", *resident_bytes);
    }
    return text;
}

}  // namespace norva_core::sim
