#include "norva_core/interrupt.h"

#include <poll.h>

#include <atomic>
#include <cerrno>

#include "norva_core/errors.h"

namespace norva_core::interrupt {
namespace {

// Written by the signal handler, so it must stay a lock-free atomic.
std::atomic<bool> interrupt_pending{false};

extern "C" void on_sigint(int) {
    interrupt_pending.store(true);
}

}  // namespace

Scope::Scope() {
    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: blocking calls return EINTR, so waits notice the interrupt at once.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
}

Scope::~Scope() {
    sigaction(SIGTERM, &previous_term_, nullptr);
    sigaction(SIGINT, &previous_int_, nullptr);
}

bool pending() {
    return interrupt_pending.load();
}

void throw_if_pending() {
    if (interrupt_pending.exchange(false)) {
        throw Interrupted{};
    }
}

void sleep_for(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        throw_if_pending();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

void raise_for_testing() {
    interrupt_pending.store(true);
}

}  // namespace norva_core::interrupt
