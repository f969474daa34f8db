#include "commands.h"
#include "conversions.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

#include <stdexcept>

namespace plover {

void run(std::string path, OptionalText path_option, std::string host, std::string port,
         std::string protocol, std::string env_init) {
    std::string final_path = _final_path(path, path_option).value_or(path);
    long port_number = _to_whole_number("--port", port);
    if (port_number < 1 || port_number > 65535) {
        throw std::invalid_argument("Invalid value for '--port': " + port +
                                    " is not a port number (1 to 65535).");
    }
    auto env_init_mapping = _to_mapping("--env-init", env_init);
    norva_core::async_util::async_to_sync(_run)(final_path, host, static_cast<int>(port_number),
                                                protocol, env_init_mapping);
}

void _run(const std::string&, const std::string&, int, const std::string&,
          const nlohmann::ordered_json&) {
    throw norva_core::NotImplemented("norva sim run");
}

}  // namespace plover
