#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace plover {

void list(bool local) {
    if (local) {
        _list_docker();
        return;
    }
    norva_core::async_util::async_to_sync(_list)();
}

void _list() {
    throw norva_core::NotImplemented("norva sim list");
}

void _list_docker() {
    throw norva_core::NotImplemented("norva sim list --local");
}

}  // namespace plover
