#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "norva_core/unique_fd.h"

// Implemented in toolkit/process/process.cpp.
namespace norva_core::process {

// The program to start was not found on PATH.
class ExecutableNotFound : public std::runtime_error {
  public:
    explicit ExecutableNotFound(const std::string& program);
};

// The program exists but could not be started; the text is the system's.
class SpawnError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The system has no room for another process or its pipes now (open files, processes, memory);
// the text is the system's. Freeing some makes room again.
class OutOfResources : public SpawnError {
  public:
    using SpawnError::SpawnError;
};

enum class Output { capture, discard, inherit };

struct Options {
    Output out = Output::capture;
    Output err = Output::capture;
    // The whole environment of the child as NAME=VALUE entries; the parent's when absent.
    std::optional<std::vector<std::string>> env;
    std::optional<std::string> cwd;
    // Starts the child as the leader of its own process group, so that ending it ends its
    // descendants too.
    bool own_process_group = false;
    // Ends with the child every process it started, even ones that left its process group and
    // session: this process adopts their orphans (Linux). On macOS, where orphans go to
    // launchd, what stayed in the child's process group.
    bool end_offspring = false;
};

struct Result {
    // The exit status, or 128 + the signal number when a signal ended the child.
    int exit_code = 0;
    std::string out;
    std::string err;
};

// This process's environment as NAME=VALUE entries, for a child that gets it with changes.
std::vector<std::string> environment();

// Starts argv[0] (looked up on PATH) with an explicit argument vector, never through a shell,
// and waits for it without a time limit. An interrupt ends the child and throws Interrupted.
Result run(const std::vector<std::string>& argv, const Options& options = {});

// A started child process. The handle owns it: destroying a handle whose child still runs ends
// the child (its process group, when it has one) and reaps it.
class Child {
  public:
    // Starts the child with pipes for stdin, stdout and stderr where the options ask to capture.
    // stdin is a pipe when with_stdin is true, the parent's otherwise.
    Child(const std::vector<std::string>& argv, const Options& options, bool with_stdin = false);
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    int stdin_fd() const { return in_.get(); }
    int stdout_fd() const { return out_.get(); }
    int stderr_fd() const { return err_.get(); }
    void close_stdin() noexcept;

    // Reads the captured streams to their end and waits for the exit; checks for interrupts.
    Result communicate();
    // Non-blocking: the exit code once the child has ended.
    std::optional<int> poll() noexcept;
    // Waits for the exit; -1 when the child cannot be waited for (someone else reaped it).
    int wait() noexcept;
    // Asks the child to end (SIGTERM), then forces it (SIGKILL) after the grace period, and reaps
    // it.
    int terminate(int grace_milliseconds = 3000) noexcept;
    // With Options::end_offspring: ends the child (terminate) and then every process it started
    // that still runs, after a moment for them to end by themselves; how many of those there
    // were. Zero, and only the child ended, without the option.
    std::size_t end_offspring() noexcept;
    // Ends many children as end_offspring ends one, but together: stdin closed and SIGTERM to
    // all, one grace period for all, SIGKILL to what remains, and their offspring found in one
    // look at the system's processes, so that the time taken grows with their number, no faster;
    // how many offspring outlived them.
    static std::size_t end_all(std::span<Child* const> children) noexcept;

  private:
    void release() noexcept;

    int pid_ = -1;
    bool own_group_ = false;
    std::optional<int> exit_code_;
    // Ended with its offspring: its group id may belong to another process by now.
    bool ended_ = false;
    // The environment entry the child's offspring inherit; empty once they were ended.
    std::string offspring_tag_;
    UniqueFd in_;
    UniqueFd out_;
    UniqueFd err_;
};

}  // namespace norva_core::process
