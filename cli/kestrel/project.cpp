#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace kestrel {

void project() {
    norva_core::async_util::async_to_sync(_project_async)();
}

void _project_async() {
    throw norva_core::NotImplemented("norva compute project");
}

}  // namespace kestrel
