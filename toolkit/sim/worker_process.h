#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "norva_core/process.h"
#include "sim/manifest.h"
#include "sim/message_limit.h"
#include "sim/simulator.h"

namespace norva_core::sim {

struct WorkerOptions {
    std::chrono::milliseconds answer_timeout;
    // Whether the user's interrupt ends a wait for an answer; off on server threads, where the
    // interrupt belongs to the thread that serves.
    bool interruptible = true;
    // When set and true, waits for answers are abandoned: the owner is shutting down.
    const std::atomic<bool>* abandon = nullptr;
    // The longest answer line taken; a longer one fails the simulator.
    std::size_t max_message = DEFAULT_MAX_MESSAGE;
};

// The time limit for every answer: NORVA_SIM_TIMEOUT seconds, 30 by default.
std::chrono::milliseconds answer_timeout_setting();

// A simulator program started from its manifest in its folder, spoken to one JSON line at a
// time. Its stderr is its own log and passes through. The process and everything it started
// end with this object, and at once when it misbehaves.
class WorkerProcess final : public Simulator {
  public:
    WorkerProcess(const std::filesystem::path& folder, const Manifest& manifest,
                  WorkerOptions options);
    ~WorkerProcess() override;
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    void make(const std::string& env_id, const Json& env_init) override;
    Json sensor_space() override;
    Json action_space() override;
    Json reset_with(const ResetOptions& options) override;
    Json step(const Json& action) override;
    void close() override;

  private:
    struct Field {
        std::string_view key;
        const Json& value;
    };
    Json call(std::string_view op, std::initializer_list<Field> fields = {}) {
        return call_with(op, std::span<const Field>(fields.begin(), fields.size()));
    }
    Json call_with(std::string_view op, std::span<const Field> fields);
    std::size_t await_line(std::string_view op);
    bool read_available(std::string_view op);
    bool spin_for_answer(std::string_view op);
    Json with_fields(std::string_view op, Json result, std::initializer_list<const char*> fields);
    Json checked_answer(std::string_view op, std::string_view line);
    [[noreturn]] void fail(SimulatorError::Kind kind, const std::string& message);
    std::string exit_description();

    WorkerOptions options_;
    std::optional<process::Child> child_;
    std::string pending_;
    // Kept between calls so that a step costs no allocation for its request line.
    std::string request_;
    long long next_id_ = 1;
    bool broken_ = false;
    struct Spin {
        bool allowed = false;
        unsigned backoff = 1;
        unsigned skips_left = 0;
    } spin_;
};

}  // namespace norva_core::sim
