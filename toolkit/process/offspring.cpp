#include "process/offspring.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "os/os.h"

namespace norva_core::process::offspring {
namespace {

bool contains(const std::vector<int>& pids, int pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The seeds and every running process below them.
std::vector<int> with_descendants(std::vector<int> found) {
    for (std::size_t next = 0; next < found.size(); ++next) {
        for (int child : os::child_processes(found[next])) {
            if (!contains(found, child)) {
                found.push_back(child);
            }
        }
    }
    return found;
}

// Ends, at the exit of the program, the orphans it adopted and still holds: by then no handle
// owns a child, so every child left is one.
struct OrphansEndedAtExit {
    OrphansEndedAtExit() { os::adopt_orphans(); }
    ~OrphansEndedAtExit() { end(with_descendants(os::child_processes(::getpid()))); }
    OrphansEndedAtExit(const OrphansEndedAtExit&) = delete;
    OrphansEndedAtExit& operator=(const OrphansEndedAtExit&) = delete;
};

}  // namespace

std::string new_tag() {
    std::random_device source;
    std::uint64_t value = (std::uint64_t{source()} << 32) ^ source();
    return fmt::format("NORVA_OFFSPRING_OF={:016x}", value);
}

std::vector<int> under(int root) {
    auto found = with_descendants({root});
    found.erase(found.begin());
    return found;
}

std::vector<int> adopted(std::vector<std::string> tags, const std::vector<int>& known) {
    std::sort(tags.begin(), tags.end());
    std::vector<int> seeds;
    for (int child : os::child_processes(::getpid())) {
        if (contains(known, child) || os::started_with_environment(child, tags)) {
            seeds.push_back(child);
        }
    }
    return with_descendants(std::move(seeds));
}

void end(const std::vector<int>& pids) noexcept {
    for (int pid : pids) {
        ::kill(pid, SIGKILL);
    }
    // A killed process whose parent was killed too becomes this process's to reap; one whose
    // parent lives is its parent's. Either way it is gone within moments of SIGKILL.
    std::vector<int> waiting = pids;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!waiting.empty() && std::chrono::steady_clock::now() < deadline) {
        std::erase_if(waiting, [](int pid) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                return true;
            }
            return ::kill(pid, 0) != 0 && errno == ESRCH;
        });
        if (!waiting.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

void adopt_until_exit() {
    static const OrphansEndedAtExit orphans;
}

}  // namespace norva_core::process::offspring
