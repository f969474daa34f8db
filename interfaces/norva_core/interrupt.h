#pragma once

#include <chrono>
#include <csignal>
#include <memory>

// How signals end commands. Implemented in toolkit/runtime/interrupt.cpp.
namespace norva_core::interrupt {

// While a scope lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT only mark an interrupt as pending,
// and every blocking wait that sees it throws Interrupted with the signal's number; the
// previous handlers come back after. So Ctrl-C, `docker stop`, a closed terminal and Ctrl-\ all
// end a command cleanly. Scopes nest.
class Scope {
  public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

// While one lives, no wait ends for a signal: a clean-up step runs to its end within its own
// time limits. A signal that arrives meanwhile stays pending for the waits after it.
class CleanupShield {
  public:
    CleanupShield() noexcept;
    ~CleanupShield();
    CleanupShield(const CleanupShield&) = delete;
    CleanupShield& operator=(const CleanupShield&) = delete;
};

// True when a signal arrived, has not been taken yet, and no clean-up is shielded.
bool pending() noexcept;

// Takes a pending signal and throws Interrupted; does nothing when none is pending. Taking it
// means that clean-up code after the throw can still wait on children and requests; a further
// signal stops that clean-up too unless it is shielded.
void throw_if_pending();

// Sleeps, waking up to throw Interrupted as soon as a signal arrives.
void sleep_for(std::chrono::milliseconds duration);

// Marks a signal as pending; what the signal handler does, callable from tests.
void raise_for_testing(int signal = SIGINT);

// Threads started while this lives (and the threads they start) never take the signals above,
// so they always reach the command's own thread.
class BlockedInThreads {
  public:
    BlockedInThreads();
    ~BlockedInThreads();
    BlockedInThreads(const BlockedInThreads&) = delete;
    BlockedInThreads& operator=(const BlockedInThreads&) = delete;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

}  // namespace norva_core::interrupt
