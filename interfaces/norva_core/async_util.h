#pragma once

#include <utility>

#include "norva_core/interrupt.h"

// Implemented in this header.
namespace norva_core::async_util {

// Turns a command routine into a callable that runs it inside the command's run scope, where the
// interrupt key reaches every blocking wait. Results and exceptions pass through unchanged.
template <class Routine>
auto async_to_sync(Routine routine) {
    return [routine = std::move(routine)](auto&&... args) -> decltype(auto) {
        interrupt::Scope scope;
        return routine(std::forward<decltype(args)>(args)...);
    };
}

}  // namespace norva_core::async_util
