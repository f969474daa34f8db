#include "sim/serve/served_session.h"

#include <utility>

namespace norva_core::sim {

std::shared_ptr<WorkerProcess> counted(std::unique_ptr<WorkerProcess> worker,
                                       SessionMetrics& metrics) {
    struct Counted {
        Counted(SessionMetrics& metrics, std::unique_ptr<WorkerProcess> started)
            : running(metrics), worker(std::move(started)) {}
        SessionMetrics::RunningProcess running;
        std::unique_ptr<WorkerProcess> worker;
    };
    auto held = std::make_shared<Counted>(metrics, std::move(worker));
    return {held, held->worker.get()};
}

std::shared_ptr<const Space> declared_space(WorkerProcess& worker, bool sensor) {
    try {
        return std::make_shared<const Space>(
            Space::from_json(sensor ? worker.sensor_space() : worker.action_space()));
    } catch (const std::invalid_argument&) {
        return nullptr;
    } catch (const SimulatorError& error) {
        if (error.kind() != SimulatorError::Kind::answered) {
            throw;
        }
        return nullptr;
    }
}

bool out_of_bounds(const Space* space, const Json& action, const std::string& what) {
    if (!space || !space->mismatch(action, "action")) {
        return false;
    }
    if (auto wrong = space->mismatch(action, "action", Bounds::ignored)) {
        throw std::invalid_argument(what + " does not fit the action space: " + *wrong);
    }
    return true;
}

void check_observation(ServedSession& session, const Space* space, const Json& result,
                       SessionMetrics& metrics, SessionJournal& journal) {
    if (space == nullptr || !result.is_object() || !result.contains("observation")) {
        return;
    }
    if (auto wrong = space->mismatch(result.at("observation"), "observation")) {
        metrics.observation_outside_space();
        if (!std::exchange(session.told_outside, true)) {
            journal.outside_space(session.name, *wrong);
        }
    }
}

void count_refusal(ServedSession& session, const SimulatorError& error, SessionMetrics& metrics,
                   SessionJournal& journal) {
    if (error.kind() != SimulatorError::Kind::answered) {
        return;
    }
    metrics.step_refused();
    if (!std::exchange(session.told_refused, true)) {
        journal.refused(session.name, error.what());
    }
}

}  // namespace norva_core::sim
