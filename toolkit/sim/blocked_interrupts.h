#pragma once

#include <pthread.h>
#include <signal.h>

namespace norva_core::sim {

// Threads started while this lives (and the threads they start) never take the interrupt
// signal, so it always reaches the thread that waits for it.
class BlockedInterrupts {
  public:
    BlockedInterrupts() {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        sigaddset(&interrupt, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &interrupt, &previous_);
    }
    ~BlockedInterrupts() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    BlockedInterrupts(const BlockedInterrupts&) = delete;
    BlockedInterrupts& operator=(const BlockedInterrupts&) = delete;

  private:
    sigset_t previous_{};
};

}  // namespace norva_core::sim
