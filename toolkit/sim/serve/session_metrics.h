#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace norva_core::sim {

// What a server has done since it started, as an operator watches it: counted as it happens,
// written out in the Prometheus text format on request.
class SessionMetrics {
  public:
    // Upper bounds of the step latency buckets, in seconds.
    static constexpr std::array<double, 16> STEP_BUCKETS{
        0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
        0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};

    void session_created() { ++sessions_created_; }
    // A simulator for a new session that could not be started or made.
    void session_start_failed() { ++start_failures_; }
    void step_answered(std::chrono::steady_clock::duration took) { steps_answered(1, took); }
    // `count` simulators' steps answered together in one call that took `took`.
    void steps_answered(std::size_t count, std::chrono::steady_clock::duration took);
    // A simulator that cannot go on; `timed_out` when it gave no answer in time.
    void simulator_failed(bool timed_out);
    // An action passed on although a value of it lies outside its box's bounds.
    void action_out_of_bounds() { actions_out_of_bounds(1); }
    void actions_out_of_bounds(std::size_t count) { actions_out_of_bounds_ += count; }
    // An observation passed to the client although it lies outside the sensor space.
    void observation_outside_space() { ++observations_outside_space_; }
    // A step the environment answered with an error of its own.
    void step_refused() { ++steps_refused_; }
    // A simulator process that runs now: counted while the token lives. A batched process
    // serves several sessions.
    class RunningProcess {
      public:
        explicit RunningProcess(SessionMetrics& metrics) : metrics_(metrics) {
            ++metrics_.processes_;
        }
        ~RunningProcess() { --metrics_.processes_; }
        RunningProcess(const RunningProcess&) = delete;
        RunningProcess& operator=(const RunningProcess&) = delete;

      private:
        SessionMetrics& metrics_;
    };

    std::string render(std::size_t open_sessions, std::optional<std::size_t> resident_bytes) const;

  private:
    std::atomic<std::uint64_t> sessions_created_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::uint64_t> start_failures_{0};
    std::atomic<std::uint64_t> over_time_limit_{0};
    std::atomic<std::uint64_t> actions_out_of_bounds_{0};
    std::atomic<std::uint64_t> observations_outside_space_{0};
    std::atomic<std::uint64_t> steps_refused_{0};
    std::atomic<std::uint64_t> processes_{0};
    mutable std::mutex steps_mutex_;
    std::uint64_t steps_ = 0;
    double step_seconds_ = 0;
    // Steps per bucket, not cumulative; the last one is beyond every bound.
    std::array<std::uint64_t, STEP_BUCKETS.size() + 1> step_buckets_{};
};

}  // namespace norva_core::sim
