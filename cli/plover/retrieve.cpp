#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace plover {

void retrieve() {
    norva_core::async_util::async_to_sync(_retrieve)();
}

void _retrieve() {
    throw norva_core::NotImplemented("norva sim retrieve");
}

}  // namespace plover
