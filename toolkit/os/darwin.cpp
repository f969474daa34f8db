#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <mach/mach.h>
#include <stdio.h>
#include <sys/proc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "os/os.h"

namespace norva_core::os {
namespace {

// Marks a new descriptor close-on-exec (and non-blocking when asked); macOS has no flags for
// this at creation.
bool set_flags(int fd, bool non_blocking) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return false;
    }
    return !non_blocking || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

// Close-on-exec, non-blocking when asked, and a peer that goes is a write error, never SIGPIPE.
int own_socket(int fd, bool non_blocking) {
    if (fd >= 0 && !set_flags(fd, non_blocking)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (fd >= 0) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &yes, sizeof yes);
    }
    return fd;
}

}  // namespace

const char* const MODULE_SUFFIX = ".dylib";
// Sockets carry SO_NOSIGPIPE instead.
const int SEND_FLAGS = 0;

std::optional<std::filesystem::path> executable_path() {
    std::uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
        return std::nullopt;
    }
    std::error_code error;
    auto executable = std::filesystem::weakly_canonical(buffer.data(), error);
    if (error) {
        return std::nullopt;
    }
    return executable;
}

int rename_no_replace(const char* from, const char* to) {
    return ::renamex_np(from, to, RENAME_EXCL) == 0 ? 0 : errno;
}

bool cloexec_pipe(int ends[2]) {
    if (::pipe(ends) != 0) {
        return false;
    }
    if (!set_flags(ends[0], false) || !set_flags(ends[1], false)) {
        int saved = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        errno = saved;
        return false;
    }
    return true;
}

int cloexec_socket(int family, int type, int protocol, bool non_blocking) {
    return own_socket(::socket(family, type, protocol), non_blocking);
}

int accept_connection(int listening) {
    return own_socket(::accept(listening, nullptr, nullptr), false);
}

std::optional<std::size_t> resident_memory_bytes() {
    mach_task_basic_info_data_t info{};
    mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
    if (::task_info(mach_task_self(), MACH_TASK_BASIC_INFO, reinterpret_cast<task_info_t>(&info),
                    &count) != KERN_SUCCESS) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(info.resident_size);
}

std::optional<ProcessUsage> process_usage(int pid) {
    proc_taskinfo task{};
    if (::proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task) != sizeof task) {
        return std::nullopt;
    }
    int bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (bytes < 0) {
        return std::nullopt;
    }
    // The size asked for covers the table's room, not its use; list it to count.
    std::vector<proc_fdinfo> descriptors(static_cast<std::size_t>(bytes) / sizeof(proc_fdinfo));
    bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, descriptors.data(),
                           static_cast<int>(descriptors.size() * sizeof(proc_fdinfo)));
    if (bytes < 0) {
        return std::nullopt;
    }
    return ProcessUsage{static_cast<std::size_t>(task.pti_resident_size),
                        static_cast<std::size_t>(bytes) / sizeof(proc_fdinfo)};
}

bool adopt_orphans() {
    return false;
}

std::vector<int> child_processes(int pid) {
    auto parent = static_cast<uint32_t>(pid);
    int bytes = ::proc_listpids(PROC_PPID_ONLY, parent, nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::vector<int> listed(static_cast<std::size_t>(bytes) / sizeof(int));
    bytes = ::proc_listpids(PROC_PPID_ONLY, parent, listed.data(),
                            static_cast<int>(listed.size() * sizeof(int)));
    if (bytes <= 0) {
        return {};
    }
    listed.resize(static_cast<std::size_t>(bytes) / sizeof(int));
    std::vector<int> children;
    for (int child : listed) {
        proc_bsdinfo info{};
        if (child > 0 &&
            ::proc_pidinfo(child, PROC_PIDTBSDINFO, 0, &info, sizeof info) == sizeof info &&
            info.pbi_status != SZOMB) {
            children.push_back(child);
        }
    }
    return children;
}

bool started_with_environment(int, std::span<const std::string>) {
    return false;
}

std::optional<std::size_t> raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    // The hard limit is often unlimited here, while the kernel refuses more than its own limit.
    rlim_t most = limit.rlim_max;
    int per_process = 0;
    std::size_t size = sizeof per_process;
    if (::sysctlbyname("kern.maxfilesperproc", &per_process, &size, nullptr, 0) == 0 &&
        per_process > 0) {
        most = std::min<rlim_t>(most, static_cast<rlim_t>(per_process));
    }
    most = std::min<rlim_t>(most, OPEN_MAX);
    if (limit.rlim_cur < most) {
        rlimit raised{most, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit.rlim_cur = most;
        }
    }
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, SIZE_MAX));
}

}  // namespace norva_core::os
