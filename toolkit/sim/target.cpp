#include "sim/target.h"
#include "norva_core/settings.h"

#include <filesystem>
#include <stdexcept>

#include "sim/common/address.h"
#include "sim/remote/remote_simulator.h"
#include "sim/remote/spread_vector.h"
#include "sim/worker/worker_process.h"
#include "sim/worker/worker_vector.h"

namespace norva_core::sim {

namespace {

bool names_folder(const std::string& target) {
    std::error_code error;
    return std::filesystem::is_directory(target, error);
}

std::filesystem::path folder_of(const std::string& target) {
    return std::filesystem::absolute(target).lexically_normal();
}

WorkerOptions local_options() {
    return WorkerOptions{settings::seconds_limit(settings::Key::sim_timeout), true, nullptr,
                         max_message_setting()};
}

struct Served {
    Address address;
    std::string protocol;
};

Served served_at(const std::string& target, const std::string& protocol) {
    std::string address = target;
    std::string chosen = protocol;
    for (const char* scheme : {"grpc", "http"}) {
        std::string prefix = std::string(scheme) + "://";
        if (address.rfind(prefix, 0) == 0) {
            address.erase(0, prefix.size());
            chosen = scheme;
        }
    }
    check_protocol(chosen);
    if (address.find(':') == std::string::npos) {
        throw std::invalid_argument("'" + target +
                                    "' is not a sim folder, and as an address it has no port; "
                                    "write an address as host:port, e.g. localhost:1337");
    }
    return {parse_address(address), chosen};
}

}  // namespace

Target open_target(const std::string& target, const std::string& protocol, GrpcSteps steps) {
    Target opened;
    if (names_folder(target)) {
        auto folder = folder_of(target);
        opened.manifest = load_manifest(folder);
        auto worker = std::make_unique<WorkerProcess>(folder, *opened.manifest, local_options());
        opened.process = worker.get();
        opened.simulator = std::move(worker);
        return opened;
    }
    auto served = served_at(target, protocol);
    opened.simulator = served.protocol == "grpc" ? connect_grpc(served.address, steps)
                                                 : connect_http(served.address);
    return opened;
}

std::unique_ptr<SimulatorVector> open_vector_target(const std::string& target,
                                                    const std::string& protocol,
                                                    std::size_t count) {
    if (names_folder(target)) {
        auto folder = folder_of(target);
        return std::make_unique<WorkerVector>(folder, load_manifest(folder), local_options(),
                                              count);
    }
    auto connect = [&](const std::string& address, std::size_t share) {
        auto served = served_at(address, protocol);
        return served.protocol == "grpc" ? connect_grpc_vector(served.address, share)
                                         : connect_http_vector(served.address, share);
    };
    if (target.find(',') == std::string::npos) {
        return connect(target, count);
    }
    // Several servers: the environments spread over them, stepped as one vector.
    std::vector<std::string> addresses;
    for (std::size_t start = 0;;) {
        auto comma = target.find(',', start);
        addresses.push_back(target.substr(start, comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    auto each = shares(count, addresses.size());
    std::vector<std::unique_ptr<SimulatorVector>> parts;
    for (std::size_t index = 0; index < addresses.size(); ++index) {
        parts.push_back(connect(addresses[index], each[index]));
    }
    return std::make_unique<SpreadVector>(std::move(parts));
}

}  // namespace norva_core::sim
