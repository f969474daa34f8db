// The program's side of the network module: each function loads the module on first use and
// hands the call on.
#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

#include "network/network_table.h"
#include "norva_core/paths.h"
#include "os/os.h"

namespace norva_core {
namespace {

const network::NetworkTable& load_table() {
    auto path = std::filesystem::path(paths::install_prefix()) /
                (std::string(network::MODULE_PATH) + os::MODULE_SUFFIX);
    // Loaded once and kept for the life of the process: its code runs on server threads until
    // the very end.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        throw std::runtime_error(std::string("norva's network support cannot be loaded: ") +
                                 ::dlerror() + ". Reinstall norva.");
    }
    using TableFunction = const network::NetworkTable* (*)();
    auto table_function = reinterpret_cast<TableFunction>(::dlsym(module, network::TABLE_FUNCTION));
    const network::NetworkTable* table = table_function ? table_function() : nullptr;
    if (table == nullptr || table->abi_version != network::ABI_VERSION) {
        throw std::runtime_error("norva's network support at " + path.string() +
                                 " is from another version. Reinstall norva.");
    }
    return *table;
}

const network::NetworkTable& table() {
    static const network::NetworkTable& loaded = load_table();
    return loaded;
}

}  // namespace

// Each function the module holds: load the module on first use, then hand the call on.
#define NORVA_NETWORK_FORWARDER(field, result, parameters, arguments, function) \
    result function parameters {                                                \
        return table().field arguments;                                         \
    }
NORVA_NETWORK_FUNCTIONS(NORVA_NETWORK_FORWARDER)
#undef NORVA_NETWORK_FORWARDER

}  // namespace norva_core
