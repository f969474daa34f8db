#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace kestrel {

void disconnect() {
    norva_core::async_util::async_to_sync(_disconnect_async)();
}

void _disconnect_async() {
    throw norva_core::NotImplemented("norva compute disconnect");
}

}  // namespace kestrel
