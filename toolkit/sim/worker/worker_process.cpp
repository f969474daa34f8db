#include "sim/worker/worker_process.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "norva_core/interrupt.h"
#include "norva_core/paths.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"
#include "norva_core/unique_fd.h"
#include "os/os.h"
#include "runtime/signal_names.h"
#include "sim/common/wire_json.h"
#include "sim/worker/program_check.h"

namespace norva_core::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t SHOWN_LINE = 200;

std::string shortened(std::string_view text) {
    if (text.size() <= SHOWN_LINE) {
        return std::string(text);
    }
    return std::string(text.substr(0, SHOWN_LINE)) + "...";
}

// Writing to a simulator that has ended must be an error, not a SIGPIPE that ends us. The
// signal is ignored for the whole process once, rather than held back around every write, which
// costs two system calls a step; children start with it restored.
void ignore_broken_pipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            ::signal(SIGPIPE, SIG_IGN);
        }
    });
}

void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Simulators find norva's own norva_sim package (its worker module) after whatever their
// PYTHONPATH already offers, so that a sim written with it runs wherever norva does.
std::vector<std::string> simulator_environment() {
    auto environment = settings::environment_without_credentials();
    auto package = std::filesystem::path(paths::install_prefix()) / "share/norva/python";
    std::error_code error;
    if (!std::filesystem::is_directory(package / "norva_sim", error)) {
        return environment;
    }
    constexpr std::string_view NAME = "PYTHONPATH=";
    auto found = std::find_if(environment.begin(), environment.end(),
                              [&](const std::string& entry) { return entry.starts_with(NAME); });
    if (found == environment.end()) {
        environment.push_back(std::string(NAME) + package.string());
    } else {
        *found += (found->size() > NAME.size() ? ":" : "") + package.string();
    }
    return environment;
}

}  // namespace

std::optional<std::size_t> raised_open_file_limit() {
    static const auto limit = os::raise_open_file_limit();
    return limit;
}

WorkerProcess::WorkerProcess(const std::filesystem::path& folder, const Manifest& manifest,
                             WorkerOptions options)
    : options_(options) {
    process::Options spawn;
    spawn.out = process::Output::capture;
    spawn.err = process::Output::inherit;
    spawn.cwd = folder.string();
    spawn.own_process_group = true;
    spawn.end_offspring = true;
    spawn.env = simulator_environment();
    check_startable(folder, manifest);
    ignore_broken_pipes();
    raised_open_file_limit();
    try {
        child_.emplace(manifest.command, spawn, true);
    } catch (const process::ExecutableNotFound&) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "Cannot start the simulator: the program '" +
                                 quoted_value(manifest.command.front()) +
                                 "' of the manifest's command was not "
                                 "found");
    } catch (const process::OutOfResources& error) {
        throw CapacityExhausted(std::string("This machine has no room for another simulator: ") +
                                error.what() +
                                "; close sessions, or raise the limit (ulimit -n for open files)");
    } catch (const process::SpawnError& error) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             std::string("Cannot start the simulator: ") + error.what());
    }
    // Reads and writes are tried before waiting, so they must never block.
    for (int fd : {child_->stdout_fd(), child_->stdin_fd()}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    // On one CPU the simulator cannot answer while this thread spins.
    spin_.allowed = std::thread::hardware_concurrency() > 1;
}

WorkerProcess::~WorkerProcess() = default;

namespace {

constexpr const char* RESET_FIELDS[] = {"observation"};
constexpr const char* STEP_FIELDS[] = {"observation", "reward", "terminated", "truncated"};

}  // namespace

void WorkerProcess::make(const std::string& env_id, const Json& env_init) {
    send_make(env_id, env_init);
    await_answer();
    receive();
}

Json WorkerProcess::sensor_space() {
    return call("sensor_space");
}

Json WorkerProcess::action_space() {
    return call("action_space");
}

Json WorkerProcess::reset_with(const ResetOptions& options) {
    send_reset(options);
    await_answer();
    return receive();
}

Json WorkerProcess::step(const Json& action) {
    send_step(action);
    await_answer();
    return receive();
}

void WorkerProcess::send_make(const std::string& env_id, const Json& env_init) {
    Json id(env_id);
    Field fields[] = {{"env_id", id}, {"env_init", env_init}};
    send("make", fields, {});
}

void WorkerProcess::send_reset(const ResetOptions& options) {
    Json seed = options.seed ? Json(*options.seed) : Json();
    std::vector<Field> fields;
    if (options.seed) {
        fields.push_back({"seed", seed});
    }
    if (options.options) {
        fields.push_back({"options", *options.options});
    }
    send("reset", fields, RESET_FIELDS);
}

void WorkerProcess::send_step(const Json& action) {
    Field fields[] = {{"action", action}};
    send("step", fields, STEP_FIELDS);
}

void WorkerProcess::send_make_batched(const std::string& env_id, const Json& env_init,
                                      std::size_t instances) {
    begin_request("make");
    append_field("env_id", Json(env_id));
    append_field("env_init", env_init);
    append_field("instances", Json(instances));
    instances_ = instances;
    finish_request({}, 0);
}

void WorkerProcess::send_reset_each(std::span<const std::size_t> instances,
                                    std::span<const std::optional<std::uint64_t>> seeds,
                                    const std::optional<Json>& options) {
    begin_request("reset");
    append_instances(instances);
    if (std::any_of(seeds.begin(), seeds.end(),
                    [](const auto& seed) { return seed.has_value(); })) {
        request_ += ",\"seeds\":[";
        for (std::size_t k = 0; k < seeds.size(); ++k) {
            request_ += k > 0 ? "," : "";
            request_ += seeds[k] ? std::to_string(*seeds[k]) : "null";
        }
        request_ += ']';
    }
    if (options) {
        append_field("options", *options);
    }
    finish_request(RESET_FIELDS, instances.size());
}

void WorkerProcess::send_step_each(std::span<const std::size_t> instances,
                                   std::span<const Json* const> actions) {
    begin_request("step");
    append_instances(instances);
    request_ += ",\"actions\":[";
    for (std::size_t k = 0; k < actions.size(); ++k) {
        request_ += k > 0 ? "," : "";
        wire_json::append(request_, *actions[k]);
    }
    request_ += ']';
    finish_request(STEP_FIELDS, instances.size());
}

// Left out when the call is for every environment in order, as the plain batched form is.
void WorkerProcess::append_instances(std::span<const std::size_t> instances) {
    bool all = instances.size() == instances_;
    for (std::size_t k = 0; all && k < instances.size(); ++k) {
        all = instances[k] == k;
    }
    if (all) {
        return;
    }
    request_ += ",\"instances\":[";
    for (std::size_t k = 0; k < instances.size(); ++k) {
        request_ += k > 0 ? "," : "";
        request_ += std::to_string(instances[k]);
    }
    request_ += ']';
}

Json WorkerProcess::with_fields(Json result, std::optional<std::size_t> entry) {
    if (call_.result_fields.empty()) {
        return result;
    }
    auto whose = [&] {
        return entry ? fmt::format("result {} of a batched '{}'", *entry, call_.op)
                     : fmt::format("result for '{}'", call_.op);
    };
    if (!result.is_object()) {
        fail(SimulatorError::Kind::failed, fmt::format("the simulator's {} is not an object: {}",
                                                       whose(), shortened(result.dump())));
    }
    for (const char* field : call_.result_fields) {
        if (!result.contains(field)) {
            fail(SimulatorError::Kind::failed,
                 fmt::format("the simulator's {} has no \"{}\"", whose(), field));
        }
    }
    // Whoever steps it next decides on these whether the episode has ended.
    for (const char* flag : {"terminated", "truncated"}) {
        auto found = result.find(flag);
        if (found != result.end() && !found->is_boolean()) {
            fail(SimulatorError::Kind::failed,
                 fmt::format("the simulator's \"{}\" is {}, not true or false", flag,
                             shortened(found->dump())));
        }
    }
    return result;
}

void WorkerProcess::close() {
    if (!child_ || broken_) {
        child_.reset();
        return;
    }
    send_close();
    await_answer();
    receive();
    // A simulator that stays after saying goodbye is ended with the rest of its group.
    for (int waited = 0; waited < 2000 && !exited(); waited += 10) {
        ::usleep(10000);
    }
    leftovers_ = child_->end_offspring();
    child_.reset();
}

void WorkerProcess::send_close() {
    send("close", {}, {});
}

void WorkerProcess::end_all(std::span<WorkerProcess* const> workers) noexcept {
    std::vector<process::Child*> children;
    for (auto* worker : workers) {
        // A batched process stands in the list once for each of its environments.
        if (worker != nullptr && worker->child_ &&
            std::find(children.begin(), children.end(), &*worker->child_) == children.end()) {
            children.push_back(&*worker->child_);
        }
    }
    process::Child::end_all(children);
    for (auto* worker : workers) {
        if (worker != nullptr) {
            worker->child_.reset();
        }
    }
}

bool WorkerProcess::exited() {
    return !child_ || child_->poll().has_value();
}

void WorkerProcess::send(std::string_view op, std::span<const Field> fields,
                         ResultFields result_fields) {
    begin_request(op);
    for (const auto& field : fields) {
        append_field(field.key, field.value);
    }
    finish_request(result_fields, 0);
}

void WorkerProcess::begin_request(std::string_view op) {
    if (ended()) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "the simulator has already failed or closed");
    }
    call_ = Call{op, next_id_++, {}, 0, 0, 0, 0, Clock::now() + options_.answer_timeout, false};
    request_.clear();
    fmt::format_to(std::back_inserter(request_), "{{\"id\":{},\"op\":\"{}\"", call_.id, op);
}

void WorkerProcess::append_field(std::string_view key, const Json& value) {
    fmt::format_to(std::back_inserter(request_), ",\"{}\":", key);
    wire_json::append(request_, value);
}

void WorkerProcess::finish_request(ResultFields result_fields, std::size_t listed) {
    call_.result_fields = result_fields;
    call_.listed = listed;
    call_.open = true;
    request_ += "}\n";
    request_written();
}

// Writes what the simulator's input takes now; true once the whole request is written. A
// simulator that stops reading is held to the call's time limit rather than blocking us.
bool WorkerProcess::request_written() {
    while (call_.written < request_.size()) {
        ssize_t count = ::write(child_->stdin_fd(), request_.data() + call_.written,
                                request_.size() - call_.written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        if (count <= 0) {
            fail(SimulatorError::Kind::failed,
                 fmt::format("the simulator ended {}before it read '{}'", exit_description(),
                             call_.op));
        }
        call_.written += static_cast<std::size_t>(count);
    }
    return true;
}

bool WorkerProcess::advance() {
    if (!request_written()) {
        return false;
    }
    if (answer_arrived()) {
        return true;
    }
    while (read_available()) {
        if (answer_arrived()) {
            return true;
        }
    }
    return false;
}

pollfd WorkerProcess::awaited() const {
    if (ended()) {
        return {-1, 0, 0};
    }
    if (call_.written < request_.size()) {
        return {child_->stdin_fd(), POLLOUT, 0};
    }
    return {child_->stdout_fd(), POLLIN, 0};
}

// Whether the answer's line is whole in pending_; a line past the limit fails the simulator.
bool WorkerProcess::answer_arrived() {
    auto end = pending_.find('\n', call_.searched);
    if (std::min(end, pending_.size()) > options_.max_message) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator's answer to '{}' is {}", call_.op,
                         over_message_limit(options_.max_message)));
    }
    if (end == std::string::npos) {
        call_.searched = pending_.size();
        return false;
    }
    call_.line_end = end;
    return true;
}

void WorkerProcess::check_waiting() {
    if (options_.interruptible && interrupt::pending()) {
        child_.reset();
        broken_ = true;
        interrupt::throw_if_pending();
    }
    // An abandoned call leaves the process to its owner, which ends all of them together.
    if (options_.abandon != nullptr && options_.abandon->load()) {
        broken_ = true;
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
    if (options_.closed != nullptr && options_.closed->load()) {
        broken_ = true;
        throw SimulatorError(SimulatorError::Kind::failed, "its session was closed meanwhile");
    }
    if (Clock::now() >= call_.deadline) {
        fail(SimulatorError::Kind::timed_out,
             fmt::format("the simulator gave no answer to '{}' within {}", call_.op,
                         text_forms::seconds_text(options_.answer_timeout)));
    }
}

void WorkerProcess::await_answer() {
    bool spun = false;
    while (!advance()) {
        check_waiting();
        if (!std::exchange(spun, true) && spin_for_answer()) {
            return;
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(call_.deadline - Clock::now());
        pollfd entry = awaited();
        ::poll(&entry, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 1, 100)));
    }
}

Json WorkerProcess::receive() {
    return with_fields(answered_result(), std::nullopt);
}

std::vector<SlotAnswer> WorkerProcess::receive_each() {
    Json result = answered_result();
    auto found = result.is_object() ? result.find("results") : result.end();
    if (found == result.end() || !found->is_array()) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator's result for a batched '{}' has no \"results\" list: {}",
                         call_.op, shortened(result.dump())));
    }
    if (found->size() != call_.listed) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator answered {} {} to a '{}' of {} {}", found->size(),
                         found->size() == 1 ? "result" : "results", call_.op, call_.listed,
                         call_.listed == 1 ? "environment" : "environments"));
    }
    std::vector<SlotAnswer> answers(call_.listed);
    for (std::size_t k = 0; k < call_.listed; ++k) {
        auto& entry = (*found)[k];
        auto error = entry.is_object() ? entry.find("error") : entry.end();
        if (error != entry.end() && !entry.contains("observation")) {
            answers[k].error =
                SimulatorError(SimulatorError::Kind::answered,
                               error->is_string() ? error->get<std::string>() : error->dump());
        } else {
            answers[k].result = with_fields(std::move(entry), k);
        }
    }
    return answers;
}

// The answer's result; an answer with an error refuses the whole call.
Json WorkerProcess::answered_result() {
    if (!call_.open) {
        throw SimulatorError(SimulatorError::Kind::failed, "no call is waiting for an answer");
    }
    call_.open = false;
    Json answer = checked_answer(std::string_view(pending_).substr(0, call_.line_end));
    pending_.erase(0, call_.line_end + 1);
    if (answer.at("id") != call_.id) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator answered id {} to request {} ('{}')",
                         answer.at("id").dump(), call_.id, call_.op));
    }
    if (answer.contains("error")) {
        const auto& error = answer.at("error");
        throw SimulatorError(SimulatorError::Kind::answered,
                             error.is_string() ? error.get<std::string>() : error.dump());
    }
    return std::move(answer.at("result"));
}

// Appends what the simulator has written so far; false when it has written nothing yet.
bool WorkerProcess::read_available() {
    char buffer[65536];
    ssize_t count = ::read(child_->stdout_fd(), buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return false;
    }
    if (count <= 0) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator ended {}before it answered '{}'", exit_description(),
                         call_.op));
    }
    pending_.append(buffer, static_cast<std::size_t>(count));
    return true;
}

// A quick simulator answers within microseconds, sooner than this thread could sleep and be
// woken again on another CPU, so its answer is awaited awake for a moment. The spin stops paying
// when answers take longer (a slow simulator, or CPUs shared by many): after a miss it is left
// out for a growing number of answers.
bool WorkerProcess::spin_for_answer() {
    constexpr auto SPIN_LIMIT = std::chrono::microseconds(50);
    constexpr unsigned MAX_BACKOFF = 4096;
    if (!spin_.allowed) {
        return false;
    }
    if (spin_.skips_left > 0) {
        --spin_.skips_left;
        return false;
    }
    auto until = Clock::now() + SPIN_LIMIT;
    do {
        pause_briefly();
        if (advance()) {
            spin_.backoff = 1;
            return true;
        }
    } while (Clock::now() < until);
    spin_.backoff = std::min(spin_.backoff * 2, MAX_BACKOFF);
    spin_.skips_left = spin_.backoff;
    return false;
}

Json WorkerProcess::checked_answer(std::string_view line) {
    std::string_view op = call_.op;
    Json answer;
    try {
        answer = reader_.parse(line);
    } catch (const json_input::InputError& error) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator wrote a line that is {} in answer to '{}': {}",
                         error.what(), op, shortened(line)));
    }
    if (!answer.is_object() || !answer.contains("id")) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator's answer to '{}' has no \"id\": {}", op, shortened(line)));
    }
    if (!answer.contains("result") && !answer.contains("error")) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator's answer to '{}' has neither \"result\" nor \"error\": {}",
                         op, shortened(line)));
    }
    return answer;
}

void WorkerProcess::fail(SimulatorError::Kind kind, const std::string& message) {
    broken_ = true;
    child_.reset();
    throw SimulatorError(kind, message);
}

std::string WorkerProcess::exit_description() {
    for (int waited = 0; waited < 1000; waited += 10) {
        if (auto code = child_->poll()) {
            if (*code > 128) {
                return fmt::format("(killed by signal {}: {}) ", *code - 128,
                                   signal_description(*code - 128));
            }
            return fmt::format("(exit status {}) ", *code);
        }
        ::usleep(10000);
    }
    return "";
}

}  // namespace norva_core::sim
