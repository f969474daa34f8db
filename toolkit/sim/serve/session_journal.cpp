#include "sim/serve/session_journal.h"

#include <fmt/format.h>

#include "norva_core/markup.h"
#include "norva_core/text_forms.h"

namespace norva_core::sim {

namespace {

// What a client sent, shown in a log line: quoted, escaped and cut short.
std::string shown(const std::string& text) {
    return "'" + text_forms::quoted(text) + "'";
}

}  // namespace

void SessionJournal::log(const std::string& line) const {
    // Client names and simulator messages are shown as they are, never read as markup.
    logger_.info(markup::escape(line));
}

SessionJournal::SessionJournal() : logger_(logger_util::get_logger("sim.sessions")) {}

std::string SessionJournal::named(const std::string& kind, const std::string& id,
                                  const std::string& env_id) {
    return fmt::format("{} {} (env {})", kind, id, shown(env_id));
}

void SessionJournal::opened(const std::string& what) {
    {
        std::lock_guard lock(mutex_);
        failed_starts_in_row_ = 0;
    }
    log(what + " opened");
}

void SessionJournal::start_failed(const std::string& env_id, const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        ++failed_starts_in_row_;
        last_start_failure_ = reason;
    }
    log(fmt::format("A session for env {} could not start: {}", shown(env_id), reason));
}

void SessionJournal::closed(const std::string& id, const std::string& what, bool client_gone) {
    if (!client_gone) {
        log(what + " closed by its client");
        return;
    }
    auto reason = std::string("closed when its client went away");
    remember(id, reason + " (the connection or stream that made it ended)");
    log(what + " " + reason);
}

void SessionJournal::closed_idle(const std::string& id, const std::string& what,
                                 std::chrono::milliseconds idle) {
    auto after = "closed after " + text_forms::seconds_text(idle) + " without calls";
    remember(id, after + " (--session-timeout)");
    log(what + " " + after);
}

void SessionJournal::remember(const std::string& id, std::string reason) {
    std::lock_guard lock(mutex_);
    if (closed_.size() == REMEMBERED) {
        closed_.pop_front();
    }
    closed_.emplace_back(id, std::move(reason));
}

void SessionJournal::closed_at_shutdown(const std::string& what) {
    log(what + " closed as the server stops");
}

void SessionJournal::outside_space(const std::string& what, const std::string& mismatch) {
    log(what +
        " gave an observation outside its sensor space (passed on; the metric "
        "norva_sim_observations_outside_space_total counts every one): " +
        mismatch);
}

void SessionJournal::refused(const std::string& what, const std::string& error) {
    log(what + " answered a step with an error: " + text_forms::excerpt(error) +
        " (the first of this session; the metric norva_sim_steps_refused_total counts every one)");
}

void SessionJournal::failed(const std::string& what, const std::string& reason) {
    log(what + " failed: " + reason);
}

std::optional<std::string> SessionJournal::closed_reason(const std::string& id) const {
    std::lock_guard lock(mutex_);
    for (const auto& [closed_id, reason] : closed_) {
        if (closed_id == id) {
            return reason;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SessionJournal::unhealthy() const {
    std::lock_guard lock(mutex_);
    if (failed_starts_in_row_ < FAILED_STARTS_UNHEALTHY) {
        return std::nullopt;
    }
    return fmt::format("the last {} sessions could not start: {}", failed_starts_in_row_,
                       last_start_failure_);
}

}  // namespace norva_core::sim
