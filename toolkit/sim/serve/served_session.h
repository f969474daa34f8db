#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "norva_core/space.h"
#include "sim/serve/session_journal.h"
#include "sim/serve/session_metrics.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

using ServingClock = std::chrono::steady_clock;

// One served environment: a session of its own, or a slot of a vector, which is a session too.
struct ServedSession {
    std::mutex mutex;
    // Shared by the slots of a batched process, which holds several environments.
    std::shared_ptr<WorkerProcess> worker;
    // Its place among the environments of a batched process.
    std::optional<std::size_t> instance;
    // A vector's slot takes its vector's lock first for calls of its own, so that slots sharing a
    // process take turns with each other and with the vector's calls.
    std::shared_ptr<std::mutex> vector_lock;
    // The session and its environment, as the log names them.
    std::string name;
    // When its last call ended, or began while one runs.
    std::atomic<ServingClock::rep> last_call{ServingClock::now().time_since_epoch().count()};
    // The vector it is a slot of, which times it and closes it; none for a session of its own.
    std::optional<std::string> vector_id;
    // Its step in its vector (batch_size) is out, or its answer waits to be handed out, so it
    // takes no call of its own. Kept under the vector's lock.
    bool held_by_vector = false;
    // What its actions are checked against; none when the simulator gave no usable space.
    std::shared_ptr<const Space> action_space;
    // What its observations are checked against, likewise.
    std::shared_ptr<const Space> sensor_space;
    // Whether an observation outside the sensor space was logged already.
    bool told_outside = false;
    // Whether a step its environment refused was logged already.
    bool told_refused = false;
    // Set when it is being closed, so that a call in progress gives up at once.
    std::atomic<bool> closing{false};
};

// A simulator process, shared by the sessions it serves and counted in the metrics while it runs.
std::shared_ptr<WorkerProcess> counted(std::unique_ptr<WorkerProcess> worker,
                                       SessionMetrics& metrics);

// The space a simulator declares, or none when it gives no usable one: then its actions go to it
// unchecked and its observations are not counted, as they always were.
std::shared_ptr<const Space> declared_space(WorkerProcess& worker, bool sensor);

// Whether a box value of the action lies outside its bounds, which simulators commonly clip;
// throws std::invalid_argument, with `what` naming the action, when its structure is wrong.
bool out_of_bounds(const Space* space, const Json& action, const std::string& what);

// Counts an observation of the result outside the space, and logs the session's first.
void check_observation(ServedSession& session, const Space* space, const Json& result,
                       SessionMetrics& metrics, SessionJournal& journal);

// Counts a step's error when the environment answered it (kind answered), and logs the
// session's first.
void count_refusal(ServedSession& session, const SimulatorError& error, SessionMetrics& metrics,
                   SessionJournal& journal);

}  // namespace norva_core::sim
