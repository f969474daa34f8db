#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Every call that differs between Linux and macOS, each with both implementations
// (os/linux.cpp, os/darwin.cpp; the build takes the one for the system it builds on). Nothing
// outside this folder uses a header or call that only one of the two systems has.
namespace norva_core::os {

// The running program's own file, links resolved; nothing when the system will not say.
std::optional<std::filesystem::path> executable_path();

// Renames `from` to `to` in one step, never replacing what `to` names: 0, or the errno value
// (EEXIST when `to` exists).
int rename_no_replace(const char* from, const char* to);

// A pipe whose ends are closed in started programs; false, with errno set, when there is none.
bool cloexec_pipe(int ends[2]);

// A socket that is closed in started programs, and does not block when asked; -1, with errno
// set, when there is none.
int cloexec_socket(int family, int type, int protocol, bool non_blocking);

// A connection accepted on a listening socket, closed in started programs; -1, with errno set,
// when there is none.
int accept_connection(int listening);

// This process's resident memory in bytes; nothing when the system will not say.
std::optional<std::size_t> resident_memory_bytes();

// What another process of this user holds: its resident memory in bytes and its open file
// descriptors; nothing when it has gone or the system will not say.
struct ProcessUsage {
    std::size_t resident_bytes = 0;
    std::size_t open_descriptors = 0;
};
std::optional<ProcessUsage> process_usage(int pid);

// Makes this process the parent of the orphans that the processes it starts leave (and theirs in
// turn), so that it can still find and end them: true on Linux; false on macOS, where orphans
// go to launchd.
bool adopt_orphans();

// The running processes whose parent is `pid`; ended ones not yet reaped are left out.
std::vector<int> child_processes(int pid);

// True when the process was started with one of `entries` (NAME=VALUE, sorted) in its
// environment; false when it was not, or the system will not say (macOS keeps other processes'
// environments to itself). The environment is read once, however many entries are asked for.
bool started_with_environment(int pid, std::span<const std::string> entries);

// Raises this process's soft limit of open files as far as the system lets it (the hard limit;
// on macOS also the kernel's limit per process) and gives the soft limit in force after; nothing
// when the system will not say.
std::optional<std::size_t> raise_open_file_limit();

// The file name ending of loadable modules: ".so" on Linux, ".dylib" on macOS.
extern const char* const MODULE_SUFFIX;

// The flags for send() that keep a peer that has gone from raising SIGPIPE.
extern const int SEND_FLAGS;

}  // namespace norva_core::os
