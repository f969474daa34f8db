#include "network/network_table.h"

// One designated entry per function of the list; a designator cannot stand in parentheses.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define NORVA_NETWORK_ENTRY(field, result, parameters, arguments, function) .field = &function,

extern "C" __attribute__((visibility("default"))) const norva_core::network::NetworkTable*
norva_network_table() {
    using namespace norva_core;
    static const network::NetworkTable table{.abi_version = network::ABI_VERSION,
                                             NORVA_NETWORK_FUNCTIONS(NORVA_NETWORK_ENTRY)};
    return &table;
}

#undef NORVA_NETWORK_ENTRY
