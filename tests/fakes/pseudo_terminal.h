#pragma once

#include <sys/types.h>

namespace norva_test {

// Forks a child whose standard streams and controlling terminal are a new pseudo-terminal. In
// the parent: the child's pid, with `terminal` set to the terminal's other end; in the child: 0.
pid_t fork_on_terminal(int& terminal);

}  // namespace norva_test
