#include "pseudo_terminal.h"

#ifdef __APPLE__
#include <util.h>
#else
#include <pty.h>
#endif

namespace norva_test {

pid_t fork_on_terminal(int& terminal) {
    return ::forkpty(&terminal, nullptr, nullptr, nullptr);
}

}  // namespace norva_test
