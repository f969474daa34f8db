#include "commands.h"
#include "norva_core/errors.h"

namespace plover {

void status(OptionalText, bool) {
    throw norva_core::NotImplemented("norva sim status");
}

void status_all() {
    throw norva_core::NotImplemented("norva sim status");
}

}  // namespace plover
