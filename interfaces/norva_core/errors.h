#pragma once

#include <csignal>

namespace norva_core {

// An orderly end of a command with the given exit status. Deliberately not a std::exception,
// so that handlers for ordinary errors never swallow it.
struct ExitRequest {
    int status;
};

// A signal that ends commands arrived (the interrupt key, a termination request, a closed
// terminal, the quit key). Not a std::exception, for the same reason as ExitRequest.
struct Interrupted {
    int signal = SIGINT;
};

}  // namespace norva_core
