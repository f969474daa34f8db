#pragma once

namespace norva_core {

// An orderly end of a command with the given exit status. Deliberately not a std::exception,
// so that handlers for ordinary errors never swallow it.
struct ExitRequest {
    int status;
};

// The user pressed the interrupt key. Not a std::exception, for the same reason as ExitRequest.
struct Interrupted {};

}  // namespace norva_core
