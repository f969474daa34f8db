#pragma once

#include <chrono>
#include <thread>

namespace norva_test {

// Asks `done` every few milliseconds until it holds or `bound` has passed, so a test waits for
// the condition it needs and no longer; says whether it held.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace norva_test
