#include "norva_core/interrupt.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "norva_core/errors.h"

namespace norva_core::interrupt {
namespace {

constexpr std::array<int, 4> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Written by the signal handler, so both must stay lock-free atomics. 0: none pending.
std::atomic<int> pending_signal{0};
std::atomic<int> shields{0};

static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int number) {
    // The first one counts: it is the one the exit status tells.
    int none = 0;
    pending_signal.compare_exchange_strong(none, number);
}

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : ENDING_SIGNALS) {
        sigaddset(&set, number);
    }
    return set;
}

}  // namespace

struct Scope::Saved {
    std::array<struct sigaction, ENDING_SIGNALS.size()> previous{};
};

Scope::Scope() : saved_(std::make_unique<Saved>()) {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: blocking calls return EINTR, so waits notice the signal at once.
    action.sa_flags = 0;
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
        sigaction(ENDING_SIGNALS[i], &action, &saved_->previous[i]);
    }
}

Scope::~Scope() {
    for (std::size_t i = ENDING_SIGNALS.size(); i-- > 0;) {
        sigaction(ENDING_SIGNALS[i], &saved_->previous[i], nullptr);
    }
}

CleanupShield::CleanupShield() noexcept {
    ++shields;
}

CleanupShield::~CleanupShield() {
    --shields;
}

bool pending() noexcept {
    return pending_signal.load() != 0 && shields.load() == 0;
}

void throw_if_pending() {
    if (shields.load() != 0) {
        return;
    }
    if (int number = pending_signal.exchange(0); number != 0) {
        throw Interrupted{number};
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

void raise_for_testing(int signal) {
    on_signal(signal);
}

struct BlockedInThreads::Saved {
    sigset_t previous{};
};

BlockedInThreads::BlockedInThreads() : saved_(std::make_unique<Saved>()) {
    sigset_t blocked = ending_set();
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_->previous);
}

BlockedInThreads::~BlockedInThreads() {
    pthread_sigmask(SIG_SETMASK, &saved_->previous, nullptr);
}

}  // namespace norva_core::interrupt
