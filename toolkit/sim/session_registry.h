#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norva_core/session_limits.h"
#include "norva_core/space.h"
#include "sim/manifest.h"
#include "sim/session_errors.h"
#include "sim/session_journal.h"
#include "sim/session_metrics.h"
#include "sim/worker_process.h"

namespace norva_core::sim {

// A vector made on a server: its id and its simulators' session ids, in order.
struct MadeVector {
    std::string id;
    std::vector<std::string> session_ids;
};

// The sessions of one server, each with its own simulator process. Calls within a session run
// one at a time; different sessions run side by side.
class SessionRegistry {
  public:
    // Throws SimulatorError when the manifest's program cannot be started.
    SessionRegistry(std::filesystem::path folder, Manifest manifest, Json base_env_init,
                    SessionLimits limits = {});
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    const Manifest& manifest() const { return manifest_; }
    // What every call but the health probe must carry, when the server requires a token.
    const std::optional<std::string>& token() const { return limits_.token; }

    // Starts a simulator and makes its environment; the client's entries override the server's.
    std::string open(const std::string& env_id, const Json& env_init);

    // Runs `call` on the session's simulator. A simulator that failed is dropped with its process.
    template <class Call>
    auto with(const std::string& id, Call&& call) {
        return with_session(find(id), id, std::forward<Call>(call));
    }

    // A step of the session's simulator, counted and timed for the metrics. An action that does
    // not fit the action space is refused with std::invalid_argument before the simulator sees
    // it, unless only its box values lie outside their bounds: simulators commonly clip those.
    Json step(const std::string& id, const Json& action);

    // N sessions made together, each an ordinary session too, stepped together through the
    // vector. A vector counts as N sessions for the limit and the metrics, and as one for the
    // idle time limit. A simulator that fails leaves its slot empty until the vector is reset,
    // which starts a new one there.
    MadeVector open_vector(const std::string& env_id, const Json& env_init, std::size_t count,
                           bool autoreset);
    // options.reset_mask (one boolean a simulator) resets only the slots it marks; the others
    // answer null and keep their episodes.
    std::vector<SlotAnswer> reset_vector(const std::string& id, VectorReset reset);
    // With autoreset, a slot whose simulator failed in an earlier call gets a new one, reset,
    // whose first observation is that slot's answer (reward 0, neither flag set).
    std::vector<SlotAnswer> step_vector(const std::string& id, std::span<const Json> actions);

    // The server's metrics in the Prometheus text format.
    std::string metrics_text() const;
    // Why new sessions cannot start, when the last few could not.
    std::optional<std::string> unhealthy() const { return journal_.unhealthy(); }

    // Closes a session or a vector; a call in progress on it is abandoned. `client_gone` when
    // the connection or stream that owned it ended rather than its client asking.
    void close(const std::string& id, bool client_gone = false);
    void close_vector(const std::string& id, bool client_gone = false);
    // Ends every session at once; waits for answers in progress are abandoned.
    void close_all();

  private:
    using Clock = std::chrono::steady_clock;
    struct Session {
        std::mutex mutex;
        std::unique_ptr<WorkerProcess> worker;
        // The session and its environment, as the log names them.
        std::string name;
        // When its last call ended, or began while one runs.
        std::atomic<Clock::rep> last_call{Clock::now().time_since_epoch().count()};
        // A vector's session is timed with its vector.
        bool in_vector = false;
        // What its actions are checked against; none when the simulator gave no usable space.
        std::shared_ptr<const Space> action_space;
        // What its observations are checked against, likewise.
        std::shared_ptr<const Space> sensor_space;
        // Whether an observation outside the sensor space was logged already.
        bool told_outside = false;
        // Set when it is being closed, so that a call in progress gives up at once.
        std::atomic<bool> closing{false};
    };
    struct Vector {
        std::mutex mutex;
        Json env_id;
        Json env_init;
        bool autoreset = true;
        std::vector<std::string> ids;
        std::vector<std::shared_ptr<Session>> sessions;
        std::shared_ptr<const Space> action_space;
        std::shared_ptr<const Space> sensor_space;
        std::string name;
        std::atomic<Clock::rep> last_call{Clock::now().time_since_epoch().count()};
        bool closed = false;
        // Set when it is being closed, so that a call in progress gives up at once.
        std::atomic<bool> closing{false};
    };
    // Sessions counted as starting until the call that reserved them ends.
    struct Reservation {
        SessionRegistry& registry;
        std::size_t count;
        ~Reservation() { registry.release(count); }
    };
    // Holds a vector and every one of its sessions for one call, and gives their simulators.
    class VectorCall;
    // Marks a session used when a call begins and when it ends.
    class CallTime {
      public:
        explicit CallTime(Session& session) : session_(session) { touch(); }
        ~CallTime() { touch(); }
        CallTime(const CallTime&) = delete;
        CallTime& operator=(const CallTime&) = delete;

      private:
        void touch() { session_.last_call = Clock::now().time_since_epoch().count(); }
        Session& session_;
    };
    template <class Call>
    auto with_session(const std::shared_ptr<Session>& session, const std::string& id, Call&& call) {
        std::lock_guard lock(session->mutex);
        if (!session->worker) {
            throw SessionNotFound(id);
        }
        CallTime timed(*session);
        try {
            return call(*session->worker);
        } catch (const SimulatorError& error) {
            if (error.kind() != SimulatorError::Kind::answered) {
                metrics_.simulator_failed(error.kind() == SimulatorError::Kind::timed_out);
                journal_.failed(session->name, error.what());
                session->worker.reset();
                forget(id);
            }
            throw;
        }
    }
    // The action space a simulator declares, or none when it gives no usable one: then its
    // actions go to it unchecked, as they always did.
    static std::shared_ptr<const Space> declared_space(WorkerProcess& worker, bool sensor);
    // Counts an observation of the result outside the space, and logs the session's first.
    void check_observation(Session& session, const Space* space, const Json& result);
    // Whether a box value of the action lies outside its bounds; throws std::invalid_argument,
    // with `what` naming the action, when its structure is wrong.
    static bool out_of_bounds(const Space* space, const Json& action, const std::string& what);
    std::shared_ptr<Session> find(const std::string& id) const;
    // Once the server stops, every id is gone for that reason, whatever it was.
    void throw_if_closing() const;
    std::shared_ptr<Vector> find_vector(const std::string& id) const;
    void forget(const std::string& id);
    // Counts `count` more sessions as starting; throws SessionLimit when they do not fit.
    void reserve(std::size_t count);
    void release(std::size_t count);
    // `closing` is the flag of the session or vector the simulator serves.
    std::unique_ptr<WorkerProcess> start_worker(const std::atomic<bool>& closing);
    Json merged_env_init(const Json& env_init) const;
    // Drops the simulators that failed in a vector call and counts their failures.
    void drop_failed(VectorCall& call, const std::vector<SlotAnswer>& answers);
    // Starts a new simulator in every slot `among` marks whose simulator has gone; which slots
    // got one.
    std::vector<bool> restart_ended(VectorCall& call,
                                    std::vector<std::optional<SimulatorError>>& failures,
                                    const std::vector<bool>& among);
    void answers_of_restarted(VectorCall& call, const std::vector<bool>& restarted,
                              std::vector<SlotAnswer>& answers);
    // Ends the simulators of a vector that has left the maps.
    void end_vector(Vector& vector);
    void close_idle_sessions();
    // Takes the vectors idle past the limit out of the maps; mutex_ is held.
    std::vector<std::pair<std::string, std::shared_ptr<Vector>>> take_idle_vectors(
        Clock::rep now, std::chrono::milliseconds limit);
    // Counts and logs a simulator that could not start for a new session.
    void note_start_failure(const std::string& env_id, const SimulatorError& error);

    std::filesystem::path folder_;
    Manifest manifest_;
    Json base_env_init_;
    std::chrono::milliseconds answer_timeout_;
    std::size_t max_message_;
    SessionLimits limits_;
    SessionMetrics metrics_;
    SessionJournal journal_;
    std::atomic<bool> closing_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    std::map<std::string, std::shared_ptr<Vector>> vectors_;
    // Sessions whose simulator is starting: they count towards the limit.
    std::size_t opening_ = 0;
    std::condition_variable closed_;
    // Ends idle sessions while the registry lives, when they have a time limit.
    std::thread idle_closer_;
};

}  // namespace norva_core::sim
