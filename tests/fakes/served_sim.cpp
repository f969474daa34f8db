#include "served_sim.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <utility>

#include "norva_core/network_util.h"
#include "polling.h"
#include "test_sims.h"

namespace norva_test {

ServedSim::ServedSim(const NorvaSandbox& sandbox, const std::string& folder,
                     const std::vector<std::string>& options, int fixed_port) {
    // Another test may take the free port before this server binds it; then it ends at once,
    // and a new port is tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = fixed_port != 0 ? fixed_port : free_port();
        std::vector<std::string> args{"sim", "run", folder, "--port", std::to_string(port_)};
        args.insert(args.end(), options.begin(), options.end());
        server_.emplace(sandbox.spawn(args));
        bool serving = eventually(
            [&] { return norva_core::network_util::is_port_opened(address()) || server_->poll(); });
        if (serving && !server_->poll()) {
            return;
        }
        auto ended = NorvaSandbox::finish(*server_);
        server_.reset();
        if (fixed_port != 0 || ended.err.find("the port is taken") == std::string::npos) {
            ADD_FAILURE() << "sim run did not serve: " << ended.err;
            return;
        }
    }
    ADD_FAILURE() << "sim run found no free port";
}

ServedSim::ServedSim(ServedSim&& other) noexcept
    : server_(std::exchange(other.server_, std::nullopt)), port_(other.port_) {}

ServedSim::~ServedSim() {
    if (server_) {
        stop();
    }
}

std::string ServedSim::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

RunResult ServedSim::stop(int signal) {
    if (!server_) {
        return {};
    }
    ::kill(server_->pid(), signal);
    auto result = NorvaSandbox::finish(*server_);
    server_.reset();
    return result;
}

double metric(int port, const std::string& name) {
    auto scraped = norva_core::process::run(
        {"curl", "-sS", "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
    std::istringstream lines(scraped.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + " ")) {
            return std::stod(line.substr(name.size() + 1));
        }
    }
    ADD_FAILURE() << "no metric " << name << " in " << scraped.out << scraped.err;
    return -1;
}

}  // namespace norva_test
