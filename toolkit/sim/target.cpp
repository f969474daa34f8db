#include "sim/target.h"

#include <filesystem>
#include <stdexcept>

#include "sim/transport/address.h"
#include "sim/transport/remote_simulator.h"
#include "sim/worker_process.h"

namespace norva_core::sim {

void check_protocol(const std::string& protocol) {
    if (protocol != "grpc" && protocol != "http") {
        throw std::invalid_argument("Unknown protocol '" + protocol + "': use grpc or http");
    }
}

namespace {

bool names_folder(const std::string& target) {
    std::error_code error;
    return std::filesystem::is_directory(target, error);
}

}  // namespace

Target open_target(const std::string& target, const std::string& protocol, GrpcSteps steps) {
    Target opened;
    if (names_folder(target)) {
        auto folder = std::filesystem::absolute(target).lexically_normal();
        opened.manifest = load_manifest(folder);
        opened.simulator = std::make_unique<WorkerProcess>(
            folder, *opened.manifest,
            WorkerOptions{answer_timeout_setting(), true, nullptr, max_message_setting()});
        return opened;
    }
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
    auto parsed = parse_address(address);
    opened.simulator = chosen == "grpc" ? connect_grpc(parsed, steps) : connect_http(parsed);
    return opened;
}

}  // namespace norva_core::sim
