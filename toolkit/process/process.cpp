#include "norva_core/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "norva_core/errors.h"
#include "norva_core/interrupt.h"
#include "os/os.h"
#include "process/offspring.h"

extern char** environ;

namespace norva_core::process {
namespace {

// Owns spawn attributes and file actions for the duration of one spawn.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};

    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

bool is_shortage(int error) {
    return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM;
}

// Both ends of a pipe; the ends still held are closed on destruction.
struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;

    Pipe() {
        int fds[2];
        if (!os::cloexec_pipe(fds)) {
            std::string message = std::string("cannot create a pipe: ") + std::strerror(errno);
            if (is_shortage(errno)) {
                throw OutOfResources(message);
            }
            throw SpawnError(message);
        }
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
};

int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return status;
}

void add_output(SpawnSetup& setup, Output mode, int target_fd, std::optional<Pipe>& pipe) {
    switch (mode) {
        case Output::capture:
            pipe.emplace();
            posix_spawn_file_actions_adddup2(&setup.actions, pipe->write_end.get(), target_fd);
            break;
        case Output::discard:
            posix_spawn_file_actions_addopen(&setup.actions, target_fd, "/dev/null", O_WRONLY, 0);
            break;
        case Output::inherit:
            break;
    }
}

std::vector<char*> c_strings(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const auto& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Appends what the descriptor has to offer; closes it at end of stream.
void drain(UniqueFd& fd, std::string& into) {
    char buffer[65536];
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fd.reset();
    }
}

}  // namespace

ExecutableNotFound::ExecutableNotFound(const std::string& program)
    : std::runtime_error("executable not found: " + program) {}

Child::Child(const std::vector<std::string>& argv, const Options& options, bool with_stdin) {
    if (argv.empty()) {
        throw SpawnError("no program to start");
    }
    SpawnSetup setup;
    std::optional<Pipe> in_pipe, out_pipe, err_pipe;
    if (with_stdin) {
        in_pipe.emplace();
        posix_spawn_file_actions_adddup2(&setup.actions, in_pipe->read_end.get(), STDIN_FILENO);
    }
    add_output(setup, options.out, STDOUT_FILENO, out_pipe);
    add_output(setup, options.err, STDERR_FILENO, err_pipe);
    if (options.cwd) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.cwd->c_str());
    }

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t no_signals;
    sigemptyset(&no_signals);
    posix_spawnattr_setsigmask(&setup.attributes, &no_signals);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        sigaddset(&defaults, number);
    }
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    if (options.own_process_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&setup.attributes, 0);
        own_group_ = true;
    }
    posix_spawnattr_setflags(&setup.attributes, flags);

    auto args = c_strings(argv);
    std::vector<char*> env_pointers;
    char** env = environ;
    std::vector<std::string> tagged_env;
    if (options.end_offspring) {
        offspring::adopt_until_exit();
        offspring_tag_ = offspring::new_tag();
        tagged_env = options.env ? *options.env : environment();
        tagged_env.push_back(offspring_tag_);
        env_pointers = c_strings(tagged_env);
        env = env_pointers.data();
    } else if (options.env) {
        env_pointers = c_strings(*options.env);
        env = env_pointers.data();
    }
    int failure =
        posix_spawnp(&pid_, argv[0].c_str(), &setup.actions, &setup.attributes, args.data(), env);
    if (failure == ENOENT) {
        pid_ = -1;
        throw ExecutableNotFound(argv[0]);
    }
    if (failure != 0) {
        pid_ = -1;
        std::string message = "cannot start " + argv[0] + ": " + std::strerror(failure);
        if (is_shortage(failure)) {
            throw OutOfResources(message);
        }
        throw SpawnError(message);
    }
    if (in_pipe) {
        in_ = std::move(in_pipe->write_end);
    }
    if (out_pipe) {
        out_ = std::move(out_pipe->read_end);
    }
    if (err_pipe) {
        err_ = std::move(err_pipe->read_end);
    }
}

Child::~Child() {
    release();
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      own_group_(other.own_group_),
      exit_code_(other.exit_code_),
      ended_(other.ended_),
      offspring_tag_(std::move(other.offspring_tag_)),
      in_(std::move(other.in_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        own_group_ = other.own_group_;
        exit_code_ = other.exit_code_;
        ended_ = other.ended_;
        offspring_tag_ = std::move(other.offspring_tag_);
        in_ = std::move(other.in_);
        out_ = std::move(other.out_);
        err_ = std::move(other.err_);
    }
    return *this;
}

void Child::release() noexcept {
    in_.reset();
    out_.reset();
    err_.reset();
    if (pid_ > 0) {
        end_offspring();
    }
    pid_ = -1;
}

std::size_t Child::end_offspring() noexcept {
    Child* self[] = {this};
    return end_all(self);
}

std::size_t Child::end_all(std::span<Child* const> children) noexcept {
    constexpr auto GRACE = std::chrono::seconds(1);
    std::vector<Child*> live;
    std::vector<std::string> tags;
    std::vector<int> seen;
    for (auto* child : children) {
        if (child == nullptr || child->pid_ <= 0 || child->ended_) {
            continue;
        }
        live.push_back(child);
        // While a child runs, what it started is found under it, tagged or not.
        if (!child->offspring_tag_.empty()) {
            tags.push_back(child->offspring_tag_);
            if (!child->poll()) {
                auto under = offspring::under(child->pid_);
                seen.insert(seen.end(), under.begin(), under.end());
            }
        }
    }
    for (auto* child : live) {
        child->close_stdin();
        if (!child->poll()) {
            ::kill(child->own_group_ ? -child->pid_ : child->pid_, SIGTERM);
        }
    }
    auto deadline = std::chrono::steady_clock::now() + GRACE;
    auto running = [&] {
        return std::any_of(live.begin(), live.end(), [](Child* child) { return !child->poll(); });
    };
    while (running() && std::chrono::steady_clock::now() < deadline) {
        ::usleep(10000);
    }
    for (auto* child : live) {
        if (!child->poll()) {
            ::kill(child->own_group_ ? -child->pid_ : child->pid_, SIGKILL);
        }
        child->wait();
    }
    std::size_t outlived = 0;
    if (!tags.empty()) {
        // Helpers that their parent's end tells to stop get a moment to do so. Whatever was seen
        // is reaped at the end: what died with its parent became this process's child.
        auto found = seen;
        for (int waited = 0;; waited += 50) {
            auto left = offspring::adopted(tags, seen);
            outlived = left.size();
            found.insert(found.end(), left.begin(), left.end());
            if (left.empty() || waited >= 500) {
                break;
            }
            ::usleep(50000);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        offspring::end(found);
    }
    for (auto* child : live) {
        child->offspring_tag_.clear();
        child->ended_ = true;
        if (child->own_group_) {
            // The leader is gone; end whatever it left behind in its group.
            ::kill(-child->pid_, SIGKILL);
        }
    }
    return outlived;
}

void Child::close_stdin() noexcept {
    in_.reset();
}

std::optional<int> Child::poll() noexcept {
    if (exit_code_ || pid_ <= 0) {
        return exit_code_;
    }
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        exit_code_ = decode_status(status);
    }
    return exit_code_;
}

int Child::wait() noexcept {
    while (!exit_code_) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, 0);
        if (done == pid_) {
            exit_code_ = decode_status(status);
        } else if (done < 0 && errno != EINTR) {
            exit_code_ = -1;
        }
    }
    return *exit_code_;
}

int Child::terminate(int grace_milliseconds) noexcept {
    if (poll()) {
        return *exit_code_;
    }
    pid_t target = own_group_ ? -pid_ : pid_;
    ::kill(target, SIGTERM);
    for (int waited = 0; waited < grace_milliseconds; waited += 10) {
        if (poll()) {
            return *exit_code_;
        }
        ::usleep(10000);
    }
    ::kill(target, SIGKILL);
    return wait();
}

Result Child::communicate() {
    close_stdin();
    Result result;
    while (out_ || err_) {
        if (interrupt::pending()) {
            terminate();
            interrupt::throw_if_pending();
        }
        pollfd entries[2];
        nfds_t count = 0;
        if (out_) {
            entries[count++] = {out_.get(), POLLIN, 0};
        }
        if (err_) {
            entries[count++] = {err_.get(), POLLIN, 0};
        }
        int ready = ::poll(entries, count, 100);
        if (ready <= 0) {
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (entries[i].revents == 0) {
                continue;
            }
            if (entries[i].fd == out_.get()) {
                drain(out_, result.out);
            } else {
                drain(err_, result.err);
            }
        }
    }
    // Quick exits are noticed at once; long waits (an inherited stream) cost little.
    for (useconds_t delay = 500; !poll(); delay = std::min<useconds_t>(delay * 2, 50000)) {
        if (interrupt::pending()) {
            terminate();
            interrupt::throw_if_pending();
        }
        ::usleep(delay);
    }
    result.exit_code = *exit_code_;
    return result;
}

std::vector<std::string> environment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

Result run(const std::vector<std::string>& argv, const Options& options) {
    Child child(argv, options);
    return child.communicate();
}

}  // namespace norva_core::process
