#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norva_core/process.h"
#include "sim/common/manifest.h"
#include "sim/common/message_limit.h"
#include "sim/common/simulator.h"
#include "sim/common/wire_json.h"

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
    // When set and true, waits for answers are abandoned: the session it serves was closed.
    const std::atomic<bool>* closed = nullptr;
};

// Raises the open-file limit once for the whole process, since every simulator holds two of its
// descriptors, and gives the soft limit in force; nothing when the system will not say.
std::optional<std::size_t> raised_open_file_limit();

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

    // A call sent now and answered later, so that one thread can drive many simulators: send,
    // then advance() whenever awaited() is ready until it gives true, then receive(). A call
    // whose answer has not come calls check_waiting() between tries. Each throws SimulatorError
    // when the simulator fails; only an answered error leaves it usable.
    void send_make(const std::string& env_id, const Json& env_init);
    void send_reset(const ResetOptions& options);
    void send_step(const Json& action);
    void send_close();
    // The batched form, for a simulator that holds several environments in its process: a make
    // for `instances` of them, then resets and steps that list the environments they concern
    // (a list of all of them in order is left out), each answered by receive_each().
    void send_make_batched(const std::string& env_id, const Json& env_init, std::size_t instances);
    void send_reset_each(std::span<const std::size_t> instances,
                         std::span<const std::optional<std::uint64_t>> seeds,
                         const std::optional<Json>& options);
    void send_step_each(std::span<const std::size_t> instances,
                        std::span<const Json* const> actions);
    // How many environments its batched make gave it; 0 when it speaks the single form.
    std::size_t instances() const { return instances_; }
    // Whether its process has ended, after a close.
    bool exited();
    // Ends the simulators' processes and everything they started, all at once, whatever they
    // were doing; they take no more calls.
    static void end_all(std::span<WorkerProcess* const> workers) noexcept;
    // Writes what the pipe takes and reads what has arrived, without waiting; true once the
    // whole answer is here.
    bool advance();
    // The descriptor and the events that let the call move on.
    pollfd awaited() const;
    // Fails the call past its time limit, when the owner is shutting down, or on the user's
    // interrupt (throwing Interrupted).
    void check_waiting();
    // Waits for the answer to the call sent, as a single call does.
    void await_answer();
    // The answer to the call sent, checked as the call's own.
    Json receive();
    // The answers to a batched reset or step, one for each environment it listed and in that
    // order: a result checked as a single call's, or the environment's own error, which leaves
    // the environment usable. A simulator that answers another number of results has failed.
    std::vector<SlotAnswer> receive_each();
    // Its process, while it runs.
    std::optional<int> process_id() const {
        return child_ ? std::optional<int>(child_->pid()) : std::nullopt;
    }
    // Whether a call was sent whose answer has not been taken.
    bool awaiting_answer() const { return call_.open; }
    // Whether the simulator has failed or closed, so that it can take no more calls.
    bool ended() const { return broken_ || !child_; }
    // How many processes the simulator started still ran after it closed; they were ended.
    std::size_t leftovers() const { return leftovers_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Field {
        std::string_view key;
        const Json& value;
    };
    using ResultFields = std::span<const char* const>;
    Json call(std::string_view op, std::initializer_list<Field> fields = {}) {
        send(op, std::span<const Field>(fields.begin(), fields.size()), {});
        await_answer();
        return receive();
    }
    void send(std::string_view op, std::span<const Field> fields, ResultFields result_fields);
    // A request is begun with its id and op, given its fields, and sent: send() in three parts.
    void begin_request(std::string_view op);
    void append_field(std::string_view key, const Json& value);
    void append_instances(std::span<const std::size_t> instances);
    void finish_request(ResultFields result_fields, std::size_t listed);
    Json answered_result();
    bool request_written();
    bool answer_arrived();
    bool read_available();
    bool spin_for_answer();
    // `entry`: the result's place in a batched answer, for the message.
    Json with_fields(Json result, std::optional<std::size_t> entry);
    Json checked_answer(std::string_view line);
    [[noreturn]] void fail(SimulatorError::Kind kind, const std::string& message);
    std::string exit_description();

    WorkerOptions options_;
    std::optional<process::Child> child_;
    std::string pending_;
    wire_json::Reader reader_;
    // Kept between calls so that a step costs no allocation for its request line.
    std::string request_;
    long long next_id_ = 1;
    std::size_t instances_ = 0;
    bool broken_ = false;
    std::size_t leftovers_ = 0;
    // The call in flight.
    struct Call {
        std::string_view op;
        long long id = 0;
        ResultFields result_fields;
        // The environments a batched call answers for; 0 for one answer.
        std::size_t listed = 0;
        std::size_t written = 0;
        std::size_t searched = 0;
        std::size_t line_end = 0;
        Clock::time_point deadline;
        bool open = false;
    } call_;
    struct Spin {
        bool allowed = false;
        unsigned backoff = 1;
        unsigned skips_left = 0;
    } spin_;
};

}  // namespace norva_core::sim
