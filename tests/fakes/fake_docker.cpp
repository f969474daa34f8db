// A stand-in for the `docker` command-line tool. It appends every call (arguments, working
// folder and the NORVA_* / DOCKER_* environment) as one JSON line to $FAKE_DOCKER_LOG, and
// answers from the scenario in $FAKE_DOCKER_SCENARIO:
//
//   {"rules": [{"args_prefix": ["compose"], "args_contain": ["up"], "times": 2,
//               "status": 1, "stdout": "...", "stderr": "...", "delay_ms": 100}]}
//
// The first rule whose prefix and contained arguments match (and whose "times", when given, is
// not used up) answers; without a match the call succeeds silently.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using nlohmann::json;

std::string env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

json read_json(const std::string& path, json fallback) {
    std::ifstream file(path);
    if (!file) {
        return fallback;
    }
    std::stringstream text;
    text << file.rdbuf();
    auto value = json::parse(text.str(), nullptr, false);
    return value.is_discarded() ? fallback : value;
}

bool matches(const json& rule, const std::vector<std::string>& args) {
    if (rule.contains("args_prefix")) {
        const auto& prefix = rule["args_prefix"];
        if (prefix.size() > args.size()) {
            return false;
        }
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            if (prefix[i].get<std::string>() != args[i]) {
                return false;
            }
        }
    }
    if (rule.contains("args_contain")) {
        for (const auto& wanted : rule["args_contain"]) {
            if (std::find(args.begin(), args.end(), wanted.get<std::string>()) == args.end()) {
                return false;
            }
        }
    }
    return true;
}

// Holds an exclusive lock on a file for the life of the value, so parallel calls keep counts right.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_CREAT | O_RDWR, 0600)) {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_EX);
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_;
};

// The rule that answers this call, counting its use.
json choose_rule(const std::vector<std::string>& args, const std::string& log_path) {
    json scenario = read_json(env_or_empty("FAKE_DOCKER_SCENARIO"), json::object());
    if (!scenario.contains("rules")) {
        return json::object();
    }
    std::string counts_path =
        (log_path.empty() ? std::string("/tmp/fake-docker") : log_path) + ".counts";
    FileLock lock(counts_path + ".lock");
    json counts = read_json(counts_path, json::object());
    const auto& rules = scenario["rules"];
    for (std::size_t i = 0; i < rules.size(); ++i) {
        std::string key = std::to_string(i);
        long used = counts.value(key, 0L);
        if (!matches(rules[i], args) ||
            (rules[i].contains("times") && used >= rules[i]["times"].get<long>())) {
            continue;
        }
        counts[key] = used + 1;
        std::ofstream(counts_path) << counts.dump();
        return rules[i];
    }
    return json::object();
}

void record(const std::vector<std::string>& args, const std::string& log_path) {
    if (log_path.empty()) {
        return;
    }
    json env = json::object();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        std::string name = text.substr(0, equals);
        if (name.starts_with("NORVA_") || name.starts_with("DOCKER_")) {
            env[name] = text.substr(equals + 1);
        }
    }
    json line = {{"args", args}, {"cwd", std::filesystem::current_path().string()}, {"env", env}};
    std::string text = line.dump() + "\n";
    int fd = ::open(log_path.c_str(), O_CREAT | O_WRONLY | O_APPEND, 0600);
    if (fd >= 0) {
        // One write per call, so lines of parallel calls never interleave.
        [[maybe_unused]] auto written = ::write(fd, text.data(), text.size());
        ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string log_path = env_or_empty("FAKE_DOCKER_LOG");
    record(args, log_path);
    json rule = choose_rule(args, log_path);
    if (rule.contains("delay_ms")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rule["delay_ms"].get<long>()));
    }
    std::cout << rule.value("stdout", "");
    std::cerr << rule.value("stderr", "");
    return rule.value("status", 0);
}
