#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
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
#include "norva_core/text_forms.h"
#include "sim/common/manifest.h"
#include "sim/common/session_errors.h"
#include "sim/serve/served_vector.h"
#include "sim/worker/batched_environment.h"

namespace norva_core::sim {

// A vector made on a server: its id and its simulators' session ids, in order.
struct MadeVector {
    std::string id;
    std::vector<std::string> session_ids;
};

// Starts a simulator for a session; `closing` is the flag of the session or vector it serves.
using WorkerFactory =
    std::function<std::unique_ptr<WorkerProcess>(const std::atomic<bool>& closing)>;

// The sessions of one server, each with its own simulator process, but for those of a vector
// of a batched simulator, which share processes. Calls within a session run one at a time;
// different sessions run side by side.
class SessionRegistry final : private VectorHost {
  public:
    // Throws SimulatorError when the manifest's program cannot be started.
    SessionRegistry(std::filesystem::path folder, Manifest manifest, Json base_env_init,
                    SessionLimits limits = {});
    // Sessions of the simulators `start_worker` starts.
    SessionRegistry(Manifest manifest, Json base_env_init, SessionLimits limits,
                    WorkerFactory start_worker);
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
    // vector (ServedVector). A vector counts as N sessions for the limit and the metrics, and as
    // one for the idle time limit. The fronts bound N.
    MadeVector open_vector(const std::string& env_id, const Json& env_init, std::size_t count,
                           VectorForm form = {});
    // How a vector made packed lays out its answers; none for one that was not.
    std::shared_ptr<const PackedForm> packed_form(const std::string& id) const {
        return find_vector(id)->packed_form();
    }
    std::vector<SlotAnswer> reset_vector(const std::string& id, VectorReset reset) {
        return find_vector(id)->reset(*this, id, std::move(reset));
    }
    StepAnswers step_vector(const std::string& id, std::span<const Json> actions,
                            std::vector<std::size_t> env_ids = {}) {
        return find_vector(id)->step(*this, id, actions, std::move(env_ids));
    }

    // The server's metrics in the Prometheus text format.
    std::string metrics_text() const;
    // Why new sessions cannot start, when the last few could not.
    std::optional<std::string> unhealthy() const { return journal_.unhealthy(); }

    // Closes a session or a vector; a call in progress on it is abandoned. `client_gone` when
    // the connection or stream that owned it ended rather than its client asking. A vector's
    // slot closes with its vector alone: closing it is refused with std::invalid_argument.
    void close(const std::string& id, bool client_gone = false);
    void close_vector(const std::string& id, bool client_gone = false);
    // Ends every session at once; waits for answers in progress are abandoned.
    void close_all();

  private:
    using Clock = ServingClock;
    using Session = ServedSession;
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
        std::unique_lock<std::mutex> vector_lock;
        if (session->vector_lock) {
            vector_lock = std::unique_lock(*session->vector_lock);
        }
        std::lock_guard lock(session->mutex);
        if (!session->worker) {
            throw SessionNotFound(id);
        }
        if (session->held_by_vector) {
            throw std::invalid_argument("session '" + text_forms::quoted(id) +
                                        "' is stepping in its vector (batch_size); its answer "
                                        "comes through the vector");
        }
        CallTime timed(*session);
        try {
            if (session->instance) {
                BatchedEnvironment environment(*session->worker, *session->instance);
                return call(static_cast<Simulator&>(environment));
            }
            return call(static_cast<Simulator&>(*session->worker));
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

    // What a served vector asks of its registry.
    SessionMetrics& metrics() override { return metrics_; }
    SessionJournal& journal() override { return journal_; }
    void reserve(std::size_t count) override;
    void release(std::size_t count) override;
    std::shared_ptr<WorkerProcess> start_worker(const std::atomic<bool>& closing) override {
        return counted(start_worker_(closing), metrics_);
    }
    std::size_t instances() const override { return manifest_.instances; }
    void start_failed(const std::string& env_id, const SimulatorError& error) override;
    bool readmit(const std::string& id, const std::shared_ptr<Session>& session) override;
    void forget(const std::string& id) override;
    bool stopping() const override { return closing_; }

    std::shared_ptr<Session> find(const std::string& id) const;
    std::shared_ptr<ServedVector> find_vector(const std::string& id) const;
    // The entry of `map` under `id`; a gone one is NotFound with why it went, when known.
    template <class NotFound, class Map>
    typename Map::mapped_type found(const Map& map, const std::string& id) const {
        std::lock_guard lock(mutex_);
        if (auto entry = map.find(id); entry != map.end()) {
            return entry->second;
        }
        throw_if_closing();
        if (auto closed = journal_.closed_reason(id)) {
            throw NotFound(id, *closed);
        }
        throw NotFound(id);
    }
    // Once the server stops, every id is gone for that reason, whatever it was.
    void throw_if_closing() const;
    Json merged_env_init(const Json& env_init) const;
    void close_idle_sessions();
    // Takes the sessions and vectors idle past the limit out of the maps; mutex_ is held.
    std::vector<std::pair<std::string, std::shared_ptr<Session>>> take_idle_sessions(
        Clock::rep now, std::chrono::milliseconds limit);
    std::vector<std::pair<std::string, std::shared_ptr<ServedVector>>> take_idle_vectors(
        Clock::rep now, std::chrono::milliseconds limit);

    Manifest manifest_;
    Json base_env_init_;
    SessionLimits limits_;
    WorkerFactory start_worker_;
    SessionMetrics metrics_;
    SessionJournal journal_;
    std::atomic<bool> closing_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    std::map<std::string, std::shared_ptr<ServedVector>> vectors_;
    // Sessions whose simulator is starting: they count towards the limit.
    std::size_t opening_ = 0;
    std::condition_variable closed_;
    // Ends idle sessions while the registry lives, when they have a time limit.
    std::thread idle_closer_;
};

}  // namespace norva_core::sim
