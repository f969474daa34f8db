#include "sim/worker_process.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "norva_core/interrupt.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"
#include "norva_core/unique_fd.h"
#include "runtime/signal_names.h"
#include "sim/program_check.h"
#include "sim/wire_json.h"

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

}  // namespace

std::chrono::milliseconds answer_timeout_setting() {
    if (auto setting = settings::value(settings::Key::sim_timeout)) {
        const char* text = setting->c_str();
        char* end = nullptr;
        double seconds = std::strtod(text, &end);
        if (end != text && *end == '\0' && seconds > 0) {
            return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        }
    }
    return std::chrono::seconds(30);
}

WorkerProcess::WorkerProcess(const std::filesystem::path& folder, const Manifest& manifest,
                             WorkerOptions options)
    : options_(options) {
    process::Options spawn;
    spawn.out = process::Output::capture;
    spawn.err = process::Output::inherit;
    spawn.cwd = folder.string();
    spawn.own_process_group = true;
    check_startable(folder, manifest);
    ignore_broken_pipes();
    try {
        child_.emplace(manifest.command, spawn, true);
    } catch (const process::ExecutableNotFound&) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "Cannot start the simulator: the program '" +
                                 manifest.command.front() +
                                 "' of the manifest's command was not "
                                 "found");
    } catch (const process::SpawnError& error) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             std::string("Cannot start the simulator: ") + error.what());
    }
    // Reads are tried before waiting, so they must never block.
    int flags = ::fcntl(child_->stdout_fd(), F_GETFL);
    ::fcntl(child_->stdout_fd(), F_SETFL, flags | O_NONBLOCK);
    // On one CPU the simulator cannot answer while this thread spins.
    spin_.allowed = std::thread::hardware_concurrency() > 1;
}

WorkerProcess::~WorkerProcess() = default;

void WorkerProcess::make(const std::string& env_id, const Json& env_init) {
    call("make", {{"env_id", Json(env_id)}, {"env_init", env_init}});
}

Json WorkerProcess::sensor_space() {
    return call("sensor_space");
}

Json WorkerProcess::action_space() {
    return call("action_space");
}

Json WorkerProcess::reset_with(const ResetOptions& options) {
    Json seed = options.seed ? Json(*options.seed) : Json();
    std::vector<Field> fields;
    if (options.seed) {
        fields.push_back({"seed", seed});
    }
    if (options.options) {
        fields.push_back({"options", *options.options});
    }
    return with_fields("reset", call_with("reset", fields), {"observation"});
}

Json WorkerProcess::step(const Json& action) {
    return with_fields("step", call("step", {{"action", action}}),
                       {"observation", "reward", "terminated", "truncated"});
}

Json WorkerProcess::with_fields(std::string_view op, Json result,
                                std::initializer_list<const char*> fields) {
    if (!result.is_object()) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator's result for '{}' is not an object: {}", op,
                         shortened(result.dump())));
    }
    for (const char* field : fields) {
        if (!result.contains(field)) {
            fail(SimulatorError::Kind::failed,
                 fmt::format("the simulator's result for '{}' has no \"{}\"", op, field));
        }
    }
    return result;
}

void WorkerProcess::close() {
    if (!child_ || broken_) {
        child_.reset();
        return;
    }
    call("close");
    // A simulator that stays after saying goodbye is ended with the rest of its group.
    for (int waited = 0; waited < 2000 && !child_->poll(); waited += 10) {
        ::usleep(10000);
    }
    child_.reset();
}

Json WorkerProcess::call_with(std::string_view op, std::span<const Field> fields) {
    if (broken_ || !child_) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "the simulator has already failed or closed");
    }
    long long id = next_id_++;
    request_.clear();
    fmt::format_to(std::back_inserter(request_), "{{\"id\":{},\"op\":\"{}\"", id, op);
    for (const auto& field : fields) {
        fmt::format_to(std::back_inserter(request_), ",\"{}\":", field.key);
        request_ += wire_json::dump(field.value);
    }
    request_ += "}\n";
    if (!write_all(child_->stdin_fd(), request_)) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator ended {}before it read '{}'", exit_description(), op));
    }
    std::size_t line_end = await_line(op);
    Json answer = checked_answer(op, std::string_view(pending_).substr(0, line_end));
    pending_.erase(0, line_end + 1);
    if (answer.at("id") != id) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator answered id {} to request {} ('{}')",
                         answer.at("id").dump(), id, op));
    }
    if (answer.contains("error")) {
        const auto& error = answer.at("error");
        throw SimulatorError(SimulatorError::Kind::answered,
                             error.is_string() ? error.get<std::string>() : error.dump());
    }
    return std::move(answer.at("result"));
}

// Where the next whole line of the simulator's output ends in pending_.
std::size_t WorkerProcess::await_line(std::string_view op) {
    auto deadline = Clock::now() + options_.answer_timeout;
    std::size_t searched = 0;
    bool spun = false;
    for (;;) {
        auto end = pending_.find('\n', searched);
        if (std::min(end, pending_.size()) > options_.max_message) {
            fail(SimulatorError::Kind::failed,
                 fmt::format("the simulator's answer to '{}' is {}", op,
                             over_message_limit(options_.max_message)));
        }
        if (end != std::string::npos) {
            return end;
        }
        searched = pending_.size();
        if (options_.interruptible && interrupt::pending()) {
            child_.reset();
            broken_ = true;
            interrupt::throw_if_pending();
        }
        if (options_.abandon != nullptr && options_.abandon->load()) {
            fail(SimulatorError::Kind::failed, "the server is stopping");
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            fail(SimulatorError::Kind::timed_out,
                 fmt::format("the simulator gave no answer to '{}' within {}", op,
                             text_forms::seconds_text(options_.answer_timeout)));
        }
        if (read_available(op)) {
            continue;
        }
        if (!std::exchange(spun, true) && spin_for_answer(op)) {
            continue;
        }
        pollfd entry{child_->stdout_fd(), POLLIN, 0};
        ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

// Appends what the simulator has written so far; false when it has written nothing yet.
bool WorkerProcess::read_available(std::string_view op) {
    char buffer[65536];
    ssize_t count = ::read(child_->stdout_fd(), buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return false;
    }
    if (count <= 0) {
        fail(SimulatorError::Kind::failed,
             fmt::format("the simulator ended {}before it answered '{}'", exit_description(), op));
    }
    pending_.append(buffer, static_cast<std::size_t>(count));
    return true;
}

// A quick simulator answers within microseconds, sooner than this thread could sleep and be
// woken again on another CPU, so its answer is awaited awake for a moment. The spin stops paying
// when answers take longer (a slow simulator, or CPUs shared by many): after a miss it is left
// out for a growing number of answers.
bool WorkerProcess::spin_for_answer(std::string_view op) {
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
        if (read_available(op)) {
            spin_.backoff = 1;
            return true;
        }
    } while (Clock::now() < until);
    spin_.backoff = std::min(spin_.backoff * 2, MAX_BACKOFF);
    spin_.skips_left = spin_.backoff;
    return false;
}

Json WorkerProcess::checked_answer(std::string_view op, std::string_view line) {
    Json answer;
    try {
        answer = wire_json::parse(line);
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
