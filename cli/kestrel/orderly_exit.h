#pragma once

#include <string>

#include "group.h"
#include "norva_core/errors.h"

namespace kestrel {

// Prints the styled message and ends the command with exit status 1, without an error trace.
[[noreturn]] inline void _fail(const std::string& message) {
    console.print(message);
    throw norva_core::ExitRequest{1};
}

}  // namespace kestrel
