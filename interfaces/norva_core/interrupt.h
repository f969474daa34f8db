#pragma once

#include <signal.h>

#include <chrono>

namespace norva_core::interrupt {

// Installs the interrupt handler for SIGINT and SIGTERM for as long as the scope lives, and
// restores the previous ones after. SIGTERM counts as an interrupt so that `docker stop`, a
// service manager or `kill` ends a command as cleanly as Ctrl-C does.
class Scope {
  public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    struct sigaction previous_int_ {};
    struct sigaction previous_term_ {};
};

// True when an interrupt arrived and has not been taken yet.
bool pending();

// Takes a pending interrupt and throws Interrupted; does nothing when none is pending. Taking it
// means that clean-up code after the throw can still wait on children and requests; a second
// interrupt then stops that clean-up too.
void throw_if_pending();

// Sleeps, waking up to throw Interrupted as soon as the user interrupts.
void sleep_for(std::chrono::milliseconds duration);

// Marks an interrupt as pending; what the signal handler does, callable from tests.
void raise_for_testing();

}  // namespace norva_core::interrupt
