#pragma once

#include "group.h"

namespace kestrel {

void connect(OptionalText name, OptionalText organization_id, OptionalText managed);
void _connect_async(OptionalText name_arg, OptionalText organization_id_arg,
                    OptionalText managed_arg);

void project();
void _project_async();

void disconnect();

// Reports the node state record and whether the compute service answers; changes nothing.
void status(bool json);

// The compose stack's logs, all services or one; following ends quietly on an interrupt.
void logs(OptionalText service, bool follow, OptionalText tail);
void _disconnect_async();

}  // namespace kestrel
