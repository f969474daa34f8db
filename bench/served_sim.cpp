#include "served_sim.h"

#include <signal.h>

#include <map>
#include <thread>

#include "norva_core/network_util.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace norva_bench {
namespace {

norva_core::process::Options quiet() {
    norva_core::process::Options options;
    options.out = norva_core::process::Output::discard;
    options.err = norva_core::process::Output::discard;
    return options;
}

}  // namespace

const std::filesystem::path& test_sim_folder(std::size_t instances) {
    static const norva_test::TempDir dir;
    static std::map<std::size_t, std::filesystem::path> folders;
    auto& folder = folders[instances];
    if (folder.empty()) {
        folder = instances > 1 ? norva_test::write_batched_test_sim(dir.path(), "good", instances)
                               : norva_test::write_test_sim(dir.path(), "good");
    }
    return folder;
}

std::filesystem::path python_env_folder(std::size_t instances) {
    static const norva_test::TempDir dir;
    auto folder = dir.path() / ("python-env-" + std::to_string(instances));
    std::filesystem::create_directories(folder);
    norva_test::write_file(
        folder / "norva-sim.toml",
        "name = \"drift\"\ndescription = \"A Python environment\"\ntype = "
        "\"sim\"\nversion = \"1.0.0\"\ncommand = [\"/usr/bin/python3\", \"" PYTHON_ENV
        "\"]\ninstances = " +
            std::to_string(instances) + "\n");
    return folder;
}

ServedSim::ServedSim(const std::string& protocol, std::size_t instances)
    : ServedSim(protocol, test_sim_folder(instances)) {}

ServedSim::ServedSim(const std::string& protocol, const std::filesystem::path& folder)
    : port_(norva_test::free_port()),
      server_({NORVA_BINARY, "sim", "run", folder.string(), "--port", std::to_string(port_),
               "--protocol", protocol, "--max-sessions", "0"},
              quiet()) {
    std::string address = "127.0.0.1:" + std::to_string(port_);
    for (int i = 0; i < 500 && !norva_core::network_util::is_port_opened(address); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ServedSim::~ServedSim() {
    stop();
}

void ServedSim::stop() {
    if (!server_.poll()) {
        ::kill(server_.pid(), SIGINT);
        server_.communicate();
    }
}

}  // namespace norva_bench
