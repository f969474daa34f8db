#include "processes.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace norva_bench {
namespace {

// Fields of /proc/<pid>/stat after the name, which may hold spaces: the third is the parent,
// the twelfth and thirteenth the user and system time in clock ticks, the next two those of the
// children it has reaped.
std::vector<std::string> stat_fields(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    auto after_name = stat.rfind(')');
    if (after_name == std::string::npos) {
        return fields;
    }
    std::istringstream words(stat.substr(after_name + 1));
    for (std::string word; words >> word;) {
        fields.push_back(word);
    }
    return fields;
}

double cpu_seconds(pid_t pid) {
    auto fields = stat_fields(pid);
    if (fields.size() < 15) {
        return 0;
    }
    return static_cast<double>(std::stoll(fields[11]) + std::stoll(fields[12]) +
                               std::stoll(fields[13]) + std::stoll(fields[14])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

std::vector<pid_t> descendants(pid_t pid) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        auto fields = stat_fields(std::stoi(name));
        if (fields.size() > 1 && std::stoi(fields[1]) == pid) {
            found.push_back(std::stoi(name));
        }
    }
    for (std::size_t i = 0, children = found.size(); i < children; ++i) {
        auto further = descendants(found[i]);
        found.insert(found.end(), further.begin(), further.end());
    }
    return found;
}

CpuPerStep::CpuPerStep(std::vector<pid_t> others)
    : others_(std::move(others)), at_start_(spent_seconds()) {}

double CpuPerStep::spent_seconds() const {
    double total = own_cpu_seconds();
    for (pid_t pid : others_) {
        total += cpu_seconds(pid);
    }
    return total;
}

double CpuPerStep::per_step_us(long steps) const {
    return steps > 0 ? (spent_seconds() - at_start_) / static_cast<double>(steps) * 1e6 : 0;
}

}  // namespace norva_bench
