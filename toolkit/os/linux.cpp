#include <fcntl.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/os.h"

namespace norva_core::os {

const char* const MODULE_SUFFIX = ".so";
const int SEND_FLAGS = MSG_NOSIGNAL;

std::optional<std::filesystem::path> executable_path() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return executable;
}

int rename_no_replace(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

bool cloexec_pipe(int ends[2]) {
    return ::pipe2(ends, O_CLOEXEC) == 0;
}

int cloexec_socket(int family, int type, int protocol, bool non_blocking) {
    return ::socket(family, type | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), protocol);
}

int accept_connection(int listening) {
    return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}

std::optional<std::size_t> resident_memory_bytes() {
    // statm counts pages: the program's size, then the part of it resident.
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    if (!(statm >> size >> resident)) {
        return std::nullopt;
    }
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::optional<ProcessUsage> process_usage(int pid) {
    auto folder = std::filesystem::path("/proc") / std::to_string(pid);
    std::ifstream statm(folder / "statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    if (!(statm >> size >> resident)) {
        return std::nullopt;
    }
    ProcessUsage usage{resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), 0};
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder / "fd", error), end; !error && it != end;
         it.increment(error)) {
        ++usage.open_descriptors;
    }
    if (error) {
        return std::nullopt;
    }
    return usage;
}

bool adopt_orphans() {
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

namespace {

// Gone, or ended and waiting for its parent to reap it.
bool has_ended(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the name in parentheses, which may itself hold any character.
    auto name_end = text.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= text.size()) {
        return true;
    }
    char state = text[name_end + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace

std::vector<int> child_processes(int pid) {
    // Each thread lists the children it started; adopted orphans go to any of them.
    std::vector<int> children;
    std::error_code error;
    auto tasks = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
         it.increment(error)) {
        std::ifstream listed(it->path() / "children");
        for (int child = 0; listed >> child;) {
            if (!has_ended(child)) {
                children.push_back(child);
            }
        }
    }
    return children;
}

bool started_with_environment(int pid, std::span<const std::string> entries) {
    std::ifstream environment("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    for (std::string item; std::getline(environment, item, '\0');) {
        if (std::binary_search(entries.begin(), entries.end(), item)) {
            return true;
        }
    }
    return false;
}

std::optional<std::size_t> raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, SIZE_MAX));
}

}  // namespace norva_core::os
