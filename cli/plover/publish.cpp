#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace plover {

void publish(std::string path, OptionalText path_option) {
    norva_core::async_util::async_to_sync(_publish)(_final_path(path, path_option).value_or(path));
}

void _publish(const std::string&) {
    throw norva_core::NotImplemented("norva sim publish");
}

}  // namespace plover
