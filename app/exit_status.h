#pragma once

#include <exception>

namespace CLI {
class App;
}

namespace norva_app {

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
// Plus the number of the signal that ended the command: 130 for Ctrl-C.
inline constexpr int exit_signalled = 128;

// Reports how a command ended, on stderr, and gives the exit status for it. Never shows a
// stack trace.
int report_outcome(std::exception_ptr outcome, const CLI::App& root);

}  // namespace norva_app
