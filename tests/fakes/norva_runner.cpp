#include "norva_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "norva_core/process.h"
#include "pseudo_terminal.h"

namespace norva_test {

std::string norva_binary() {
    return NORVA_BINARY;
}

NorvaSandbox::NorvaSandbox() {
    namespace fs = std::filesystem;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "bin");
    fs::create_symlink(FAKE_DOCKER_BINARY, dir_ / "bin/docker");
    const char* path = std::getenv("PATH");
    env_ = {
        {"HOME", home()},
        {"NORVA_HOME", norva_home()},
        {"PATH", (dir_ / "bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        {"FAKE_DOCKER_LOG", dir_ / "docker-calls.jsonl"},
        {"FAKE_DOCKER_SCENARIO", dir_ / "docker-scenario.json"},
        {"USER", "devuser"},
        {"LOGNAME", "devuser"},
        {"TERM", "xterm"},
        {"LANG", "C.UTF-8"},
    };
}

void NorvaSandbox::docker_scenario(const nlohmann::json& scenario) {
    write_file(dir_ / "docker-scenario.json", scenario.dump());
}

std::vector<nlohmann::json> NorvaSandbox::docker_calls() const {
    std::vector<nlohmann::json> calls;
    std::istringstream lines(read_file(dir_ / "docker-calls.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        calls.push_back(nlohmann::json::parse(line));
    }
    return calls;
}

std::vector<std::string> NorvaSandbox::environment() const {
    std::vector<std::string> env;
    for (const auto& [name, value] : env_) {
        env.push_back(name + "=" + value);
    }
    return env;
}

norva_core::process::Child NorvaSandbox::spawn(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args.begin(), args.end());
    norva_core::process::Options options;
    options.env = environment();
    options.cwd = dir_.path().string();
    return norva_core::process::Child(argv, options, true);
}

RunResult NorvaSandbox::run_on_terminal(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args.begin(), args.end());
    auto env = environment();
    std::string cwd = dir_.path().string();
    int terminal = -1;
    pid_t pid = fork_on_terminal(terminal);
    if (pid < 0) {
        return {};
    }
    if (pid == 0) {
        std::vector<char*> arg_pointers;
        for (auto& arg : argv) {
            arg_pointers.push_back(arg.data());
        }
        arg_pointers.push_back(nullptr);
        std::vector<char*> env_pointers;
        for (auto& entry : env) {
            env_pointers.push_back(entry.data());
        }
        env_pointers.push_back(nullptr);
        if (::chdir(cwd.c_str()) == 0) {
            ::execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
        }
        std::_Exit(127);
    }
    RunResult result;
    char buffer[4096];
    // Reading ends (EIO) once the program and everything it started have let go of the terminal.
    for (ssize_t count; (count = ::read(terminal, buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult NorvaSandbox::finish(norva_core::process::Child& child) {
    auto result = child.communicate();
    return {result.exit_code, result.out, result.err};
}

void NorvaSandbox::add_program(const std::string& name, const std::string& script) const {
    std::string path = dir_ / ("bin/" + name);
    write_file(path, "#!/bin/sh\n" + script + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

RunResult NorvaSandbox::run(const std::vector<std::string>& args, const std::string& input) const {
    auto child = spawn(args);
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t done = ::write(child.stdin_fd(), input.data() + written, input.size() - written);
        if (done <= 0) {
            break;
        }
        written += static_cast<std::size_t>(done);
    }
    return finish(child);
}

}  // namespace norva_test
