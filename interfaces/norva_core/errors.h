#pragma once

#include <stdexcept>
#include <string>

namespace norva_core {

// An orderly end of a command with the given exit status. Deliberately not a std::exception,
// so that handlers for ordinary errors never swallow it.
struct ExitRequest {
    int status;
};

// The user pressed the interrupt key. Not a std::exception, for the same reason as ExitRequest.
struct Interrupted {};

// A command whose routine is not built yet.
class NotImplemented : public std::runtime_error {
  public:
    explicit NotImplemented(const std::string& command)
        : std::runtime_error("`" + command + "` is not implemented yet") {}
};

}  // namespace norva_core
