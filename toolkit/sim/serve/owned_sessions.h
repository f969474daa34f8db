#pragma once

#include <set>
#include <string>

#include "sim/serve/session_registry.h"

namespace norva_core::sim {

// The sessions and vectors a client's connection or stream owns: when it breaks, its client has
// gone (killed, say) and will never close them, so the server does, rather than holding their
// simulators until they idle out.
class OwnedSessions {
  public:
    void add_session(const std::string& id) { sessions_.insert(id); }
    void add_vector(const std::string& id) { vectors_.insert(id); }
    bool empty() const { return sessions_.empty() && vectors_.empty(); }

    // Closes what is still open; what the client closed itself, or the server for another
    // reason, is gone already, and a vector's slot it stepped stays with its vector.
    void close_all(SessionRegistry& registry) noexcept {
        for (const auto& id : sessions_) {
            try {
                registry.close(id, true);
            } catch (...) {
            }
        }
        for (const auto& id : vectors_) {
            try {
                registry.close_vector(id, true);
            } catch (...) {
            }
        }
        sessions_.clear();
        vectors_.clear();
    }

  private:
    std::set<std::string> sessions_;
    std::set<std::string> vectors_;
};

}  // namespace norva_core::sim
