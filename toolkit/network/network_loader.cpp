// The program's side of the network module: each function loads the module on first use and
// hands the call on.
#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

#include "network/network_table.h"
#include "norva_core/grpc_util.h"
#include "norva_core/paths.h"

namespace norva_core {
namespace {

const network::NetworkTable& load_table() {
    auto path = std::filesystem::path(paths::install_prefix()) / network::MODULE_PATH;
    // Loaded once and kept for the life of the process: its code runs on server threads until
    // the very end.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        throw std::runtime_error(std::string("norva's network support cannot be loaded: ") +
                                 ::dlerror() + ". Reinstall norva.");
    }
    using TableFunction = const network::NetworkTable* (*)();
    auto table_function = reinterpret_cast<TableFunction>(::dlsym(module, network::TABLE_FUNCTION));
    if (table_function == nullptr) {
        throw std::runtime_error("norva's network support at " + path.string() +
                                 " does not belong to this norva. Reinstall norva.");
    }
    return *table_function();
}

const network::NetworkTable& table() {
    static const network::NetworkTable& loaded = load_table();
    return loaded;
}

}  // namespace

http::Response http::send(const Request& request) {
    return table().send(request);
}

bool grpc_util::is_channel_available(const std::string& address) {
    return table().is_channel_available(address);
}

namespace sim {

std::unique_ptr<Simulator> connect_grpc(const Address& address, GrpcSteps steps) {
    return table().connect_grpc(address, steps);
}

std::unique_ptr<Simulator> connect_http(const Address& address) {
    return table().connect_http(address);
}

std::unique_ptr<Listener> listen_grpc(SessionRegistry& sessions, const std::string& host,
                                      int port) {
    return table().listen_grpc(sessions, host, port);
}

}  // namespace sim
}  // namespace norva_core
