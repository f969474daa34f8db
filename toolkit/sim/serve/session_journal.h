#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "norva_core/logger_util.h"

namespace norva_core::sim {

// What happens to a server's sessions, one log line each, as an operator reads them; what it
// still remembers of sessions it closed on its own, so a client that comes back hears why; and
// whether new sessions can start at all.
class SessionJournal {
  public:
    // How many starts failing in a row make the server unhealthy, and how many closed sessions
    // are remembered.
    static constexpr std::size_t FAILED_STARTS_UNHEALTHY = 3;
    static constexpr std::size_t REMEMBERED = 1024;

    SessionJournal();

    // `what` names the session or vector with its environment, as `named` gives it.
    static std::string named(const std::string& kind, const std::string& id,
                             const std::string& env_id);

    void opened(const std::string& what);
    void start_failed(const std::string& env_id, const std::string& reason);
    // Closed by its client, or when its client went away (`client_gone`: the connection or
    // stream that owned it ended).
    void closed(const std::string& id, const std::string& what, bool client_gone);
    void closed_idle(const std::string& id, const std::string& what,
                     std::chrono::milliseconds idle);
    void closed_at_shutdown(const std::string& what);
    void failed(const std::string& what, const std::string& reason);
    // The first observation of a session outside its sensor space, and where it is outside.
    void outside_space(const std::string& what, const std::string& mismatch);
    // The first step of a session its environment answered with an error of its own.
    void refused(const std::string& what, const std::string& error);

    // Why an id no longer answers, while it is remembered.
    std::optional<std::string> closed_reason(const std::string& id) const;
    // Why new sessions cannot start: the last few starts all failed.
    std::optional<std::string> unhealthy() const;

  private:
    void log(const std::string& line) const;
    void remember(const std::string& id, std::string reason);

    logger_util::Logger logger_;
    mutable std::mutex mutex_;
    std::deque<std::pair<std::string, std::string>> closed_;
    std::size_t failed_starts_in_row_ = 0;
    std::string last_start_failure_;
};

}  // namespace norva_core::sim
