#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace plover {

void validate(OptionalText path, OptionalText path_option, OptionalText address,
              std::string protocol) {
    norva_core::async_util::async_to_sync(_validate)(_final_path(path, path_option), address,
                                                     protocol);
}

void _validate(OptionalText, OptionalText, const std::string&) {
    throw norva_core::NotImplemented("norva sim validate");
}

}  // namespace plover
