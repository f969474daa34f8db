#include "docker/docker_cli.h"

#include "norva_core/process.h"

namespace norva_core::docker {
namespace {

constexpr const char* MISSING =
    "The docker command was not found; install Docker (https://docs.docker.com/get-docker/) "
    "and try again";

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

process::Result started(const std::vector<std::string>& args, const process::Options& options) {
    std::vector<std::string> argv{"docker"};
    argv.insert(argv.end(), args.begin(), args.end());
    try {
        return process::run(argv, options);
    } catch (const process::ExecutableNotFound&) {
        throw DockerError(MISSING);
    }
}

}  // namespace

std::string run(const std::vector<std::string>& args) {
    auto result = started(args, {});
    if (result.exit_code != 0) {
        auto said = trimmed(result.err);
        throw DockerError(
            "docker " + args.front() + " failed: " +
            (said.empty() ? "exit status " + std::to_string(result.exit_code) : said));
    }
    return result.out;
}

void run_attached(const std::vector<std::string>& args) {
    process::Options options;
    options.out = process::Output::inherit;
    options.err = process::Output::inherit;
    auto result = started(args, options);
    if (result.exit_code != 0) {
        throw DockerError("docker " + args.front() + " failed (exit status " +
                          std::to_string(result.exit_code) + ")");
    }
}

}  // namespace norva_core::docker
