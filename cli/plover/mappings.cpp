#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace plover {

void mappings(OptionalText image, OptionalText address) {
    norva_core::async_util::async_to_sync(_mappings)(image, address);
}

void _mappings(OptionalText, OptionalText) {
    throw norva_core::NotImplemented("norva sim mappings");
}

}  // namespace plover
