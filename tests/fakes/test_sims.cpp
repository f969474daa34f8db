#include "test_sims.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "norva_core/process.h"
#include "temp_dir.h"

namespace norva_test {

std::filesystem::path write_test_sim(const std::filesystem::path& parent, const std::string& mode,
                                     const std::string& name) {
    auto folder = parent / (name + "-" + mode);
    std::filesystem::create_directories(folder);
    write_file(folder / "norva-sim.toml", "name = \"" + name +
                                              "\"\n"
                                              "description = \"A test simulator\"\n"
                                              "type = \"sim\"\n"
                                              "version = \"1.0.0\"\n"
                                              "command = [\"" TEST_SIM_BINARY "\", \"" +
                                              mode + "\"]\n");
    return folder;
}

std::filesystem::path write_batched_test_sim(const std::filesystem::path& parent,
                                             const std::string& mode, std::size_t instances) {
    auto folder = write_test_sim(parent, mode, "batched-" + std::to_string(instances));
    std::ofstream(folder / "norva-sim.toml", std::ios::app) << "instances = " << instances << "\n";
    return folder;
}

std::filesystem::path write_movable_test_sim(const std::filesystem::path& parent) {
    auto folder = parent / "moving";
    std::filesystem::create_directories(folder);
    auto program = folder / "simulator";
    std::filesystem::copy_file(TEST_SIM_BINARY, program);
    write_file(folder / "norva-sim.toml",
               "name = \"moving\"\ndescription = \"d\"\ntype = \"sim\"\nversion = \"1\"\n"
               "command = [\"" +
                   program.string() + "\", \"good\"]\n");
    return folder;
}

namespace {

std::vector<std::string> lines_starting(const std::string& log_path, const std::string& word) {
    std::ifstream in(log_path);
    std::vector<std::string> values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(word + " ", 0) == 0) {
            values.push_back(line.substr(word.size() + 1));
        }
    }
    return values;
}

std::vector<pid_t> pids_logged_as(const std::string& log_path, const std::string& word) {
    std::vector<pid_t> pids;
    for (const auto& value : lines_starting(log_path, word)) {
        pids.push_back(static_cast<pid_t>(std::stol(value)));
    }
    return pids;
}

}  // namespace

std::vector<pid_t> logged_pids(const std::string& log_path) {
    return pids_logged_as(log_path, "pid");
}

std::vector<pid_t> logged_helper_pids(const std::string& log_path) {
    return pids_logged_as(log_path, "helper");
}

long logged_steps(const std::string& log_path) {
    auto values = lines_starting(log_path, "steps");
    return values.empty() ? 0 : std::stol(values.back());
}

std::optional<ProcessStat> process_stat(pid_t pid) {
#ifdef __APPLE__
    // No /proc: ps gives the state letter and the parent.
    auto shown =
        norva_core::process::run({"ps", "-o", "stat=", "-o", "ppid=", "-p", std::to_string(pid)});
    std::istringstream fields(shown.out);
    ProcessStat found{'?', 0};
    if (shown.exit_code != 0 || !(fields >> found.state >> found.parent)) {
        return std::nullopt;
    }
    return found;
#else
    // /proc/<pid>/stat: "pid (name) state ppid ..."; the name may hold spaces.
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    auto after_name = stat.rfind(')');
    if (after_name == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(after_name + 1));
    ProcessStat found{'?', 0};
    fields >> found.state >> found.parent;
    return found;
#endif
}

bool process_exists(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    auto stat = process_stat(pid);
    return stat && (stat->state != 'Z' || stat->parent == ::getpid());
}

int free_port() {
    int socket_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(socket_fd);
    return ntohs(address.sin_port);
}

}  // namespace norva_test
