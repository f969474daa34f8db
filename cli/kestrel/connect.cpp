#include "commands.h"
#include "norva_core/async_util.h"
#include "norva_core/errors.h"

namespace kestrel {

void connect(OptionalText name, OptionalText organization_id, OptionalText managed) {
    norva_core::async_util::async_to_sync(_connect_async)(
        std::move(name), std::move(organization_id), std::move(managed));
}

void _connect_async(OptionalText, OptionalText, OptionalText) {
    throw norva_core::NotImplemented("norva compute connect");
}

}  // namespace kestrel
