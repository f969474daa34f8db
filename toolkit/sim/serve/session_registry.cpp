#include "sim/serve/session_registry.h"

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <vector>

#include "norva_core/interrupt.h"
#include "norva_core/settings.h"
#include "os/os.h"
#include "sim/worker/program_check.h"

namespace norva_core::sim {
namespace {

std::string new_session_id() {
    std::random_device entropy;
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::string id;
    for (int i = 0; i < 16; ++i) {
        id += fmt::format("{:02x}", byte(entropy));
    }
    return id;
}

// Simulators started from the folder's program; throws SimulatorError when it cannot start.
WorkerFactory local_workers(const std::filesystem::path& folder, const Manifest& manifest,
                            const std::atomic<bool>& stopping) {
    check_startable(folder, manifest);
    WorkerOptions options{settings::seconds_limit(settings::Key::sim_timeout), false, &stopping,
                          max_message_setting(), nullptr};
    // Called from many threads at once: each start has its own copy of the options.
    return [folder, manifest, options](const std::atomic<bool>& closing) {
        auto own = options;
        own.closed = &closing;
        return std::make_unique<WorkerProcess>(folder, manifest, own);
    };
}

}  // namespace

SessionRegistry::SessionRegistry(std::filesystem::path folder, Manifest manifest,
                                 Json base_env_init, SessionLimits limits)
    // Only the flag's address is taken before it is built.
    : SessionRegistry(manifest, std::move(base_env_init), limits,
                      local_workers(folder, manifest, closing_)) {}

SessionRegistry::SessionRegistry(Manifest manifest, Json base_env_init, SessionLimits limits,
                                 WorkerFactory start_worker)
    : manifest_(std::move(manifest)),
      base_env_init_(std::move(base_env_init)),
      limits_(limits),
      start_worker_(std::move(start_worker)) {
    if (limits_.idle_timeout) {
        interrupt::BlockedInThreads blocked;
        idle_closer_ = std::thread([this] { close_idle_sessions(); });
    }
}

SessionRegistry::~SessionRegistry() {
    close_all();
    if (idle_closer_.joinable()) {
        idle_closer_.join();
    }
}

Json SessionRegistry::merged_env_init(const Json& env_init) const {
    Json merged = base_env_init_.is_object() ? base_env_init_ : Json::object();
    if (env_init.is_object()) {
        for (const auto& [key, value] : env_init.items()) {
            merged[key] = value;
        }
    }
    return merged;
}

void SessionRegistry::reserve(std::size_t count) {
    std::lock_guard lock(mutex_);
    std::size_t held = sessions_.size() + opening_;
    if (limits_.max_sessions && held + count > *limits_.max_sessions) {
        if (count == 1) {
            throw SessionLimit(*limits_.max_sessions);
        }
        throw SessionLimit(*limits_.max_sessions, count, held);
    }
    opening_ += count;
}

void SessionRegistry::release(std::size_t count) {
    std::lock_guard lock(mutex_);
    opening_ -= count;
}

void SessionRegistry::start_failed(const std::string& env_id, const SimulatorError& error) {
    // A simulator that refuses the client's environment started well; it answered.
    if (error.kind() != SimulatorError::Kind::answered) {
        metrics_.session_start_failed();
        journal_.start_failed(env_id, error.what());
    }
}

std::string SessionRegistry::open(const std::string& env_id, const Json& env_init) {
    Json merged = merged_env_init(env_init);
    Reservation reserved(*this, 1);
    auto session = std::make_shared<Session>();
    try {
        session->worker = start_worker(session->closing);
        session->worker->make(env_id, merged);
        session->action_space = declared_space(*session->worker, false);
        session->sensor_space = declared_space(*session->worker, true);
    } catch (const SimulatorError& error) {
        start_failed(env_id, error);
        throw;
    }
    auto id = new_session_id();
    session->name = SessionJournal::named("Session", id, env_id);
    std::lock_guard lock(mutex_);
    throw_if_closing();
    session->last_call = Clock::now().time_since_epoch().count();
    journal_.opened(session->name);
    sessions_.emplace(id, std::move(session));
    metrics_.session_created();
    return id;
}

Json SessionRegistry::step(const std::string& id, const Json& action) {
    auto started = Clock::now();
    auto session = find(id);
    if (out_of_bounds(session->action_space.get(), action, "the action")) {
        metrics_.action_out_of_bounds();
    }
    Json result = with_session(session, id, [&](Simulator& simulator) {
        try {
            auto stepped = simulator.step(action);
            check_observation(*session, session->sensor_space.get(), stepped, metrics_, journal_);
            return stepped;
        } catch (const SimulatorError& error) {
            count_refusal(*session, error, metrics_, journal_);
            throw;
        }
    });
    metrics_.step_answered(Clock::now() - started);
    return result;
}

MadeVector SessionRegistry::open_vector(const std::string& env_id, const Json& env_init,
                                        std::size_t count, VectorForm form) {
    auto vector = std::make_shared<ServedVector>(env_id, merged_env_init(env_init), form);
    vector->start(*this, count);
    MadeVector made{new_session_id(), {}};
    for (std::size_t slot = 0; slot < count; ++slot) {
        made.session_ids.push_back(new_session_id());
    }
    vector->give_ids(made.id, made.session_ids);
    std::lock_guard lock(mutex_);
    throw_if_closing();
    for (std::size_t slot = 0; slot < count; ++slot) {
        sessions_.emplace(made.session_ids[slot], vector->slots()[slot]);
        metrics_.session_created();
    }
    journal_.opened(fmt::format("{} with {} simulators", vector->name(), count));
    vectors_.emplace(made.id, std::move(vector));
    return made;
}

bool SessionRegistry::readmit(const std::string& id, const std::shared_ptr<Session>& session) {
    std::lock_guard lock(mutex_);
    if (closing_) {
        return false;
    }
    sessions_.emplace(id, session);
    metrics_.session_created();
    return true;
}

void SessionRegistry::close_vector(const std::string& id, bool client_gone) {
    std::shared_ptr<ServedVector> vector;
    {
        std::lock_guard lock(mutex_);
        auto found = vectors_.find(id);
        if (found == vectors_.end()) {
            throw VectorNotFound(id);
        }
        vector = found->second;
        vectors_.erase(found);
        for (const auto& session_id : vector->slot_ids()) {
            sessions_.erase(session_id);
        }
    }
    journal_.closed(id, vector->name(), client_gone);
    vector->end();
}

std::string SessionRegistry::metrics_text() const {
    std::size_t open = 0;
    {
        std::lock_guard lock(mutex_);
        open = sessions_.size();
    }
    return metrics_.render(open, os::resident_memory_bytes());
}

void SessionRegistry::close_idle_sessions() {
    auto limit = *limits_.idle_timeout;
    auto every = std::clamp<std::chrono::milliseconds>(limit / 4, std::chrono::milliseconds(10),
                                                       std::chrono::seconds(1));
    std::unique_lock lock(mutex_);
    while (!closed_.wait_for(lock, every, [this] { return closing_.load(); })) {
        auto now = Clock::now().time_since_epoch().count();
        auto idle = take_idle_sessions(now, limit);
        auto idle_vectors = take_idle_vectors(now, limit);
        lock.unlock();
        auto idle_for = [&](Clock::rep last_call) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                Clock::duration(now - last_call));
        };
        std::vector<std::unique_lock<std::mutex>> ending;
        std::vector<WorkerProcess*> workers;
        for (auto& [id, session] : idle) {
            ending.emplace_back(session->mutex);
            journal_.closed_idle(id, session->name, idle_for(session->last_call));
            workers.push_back(session->worker.get());
        }
        WorkerProcess::end_all(workers);
        for (auto& [id, session] : idle) {
            session->worker.reset();
        }
        ending.clear();
        for (auto& [id, vector] : idle_vectors) {
            journal_.closed_idle(id, vector->name(), idle_for(vector->last_call()));
            vector->end();
        }
        lock.lock();
    }
}

std::vector<std::pair<std::string, std::shared_ptr<ServedSession>>>
SessionRegistry::take_idle_sessions(Clock::rep now, std::chrono::milliseconds limit) {
    std::vector<std::pair<std::string, std::shared_ptr<Session>>> idle;
    for (auto entry = sessions_.begin(); entry != sessions_.end();) {
        auto& session = entry->second;
        bool quiet = !session->vector_id && Clock::duration(now - session->last_call) > limit;
        // A session in a call is not idle, however long the call takes.
        if (quiet && session->mutex.try_lock()) {
            session->mutex.unlock();
            idle.emplace_back(entry->first, session);
            entry = sessions_.erase(entry);
        } else {
            ++entry;
        }
    }
    return idle;
}

std::vector<std::pair<std::string, std::shared_ptr<ServedVector>>>
SessionRegistry::take_idle_vectors(Clock::rep now, std::chrono::milliseconds limit) {
    std::vector<std::pair<std::string, std::shared_ptr<ServedVector>>> idle;
    for (auto entry = vectors_.begin(); entry != vectors_.end();) {
        auto& vector = entry->second;
        if (vector->idle(now, limit)) {
            for (const auto& id : vector->slot_ids()) {
                sessions_.erase(id);
            }
            idle.emplace_back(entry->first, vector);
            entry = vectors_.erase(entry);
        } else {
            ++entry;
        }
    }
    return idle;
}

std::shared_ptr<ServedSession> SessionRegistry::find(const std::string& id) const {
    return found<SessionNotFound>(sessions_, id);
}

std::shared_ptr<ServedVector> SessionRegistry::find_vector(const std::string& id) const {
    return found<VectorNotFound>(vectors_, id);
}

void SessionRegistry::throw_if_closing() const {
    if (closing_) {
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
}

void SessionRegistry::forget(const std::string& id) {
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

void SessionRegistry::close(const std::string& id, bool client_gone) {
    auto session = find(id);
    if (session->vector_id) {
        throw std::invalid_argument("session '" + text_forms::quoted(id) +
                                    "' is an environment of vector '" +
                                    text_forms::quoted(*session->vector_id) +
                                    "' and closes with it: close the vector instead");
    }
    forget(id);
    session->closing = true;
    std::lock_guard lock(session->mutex);
    if (session->worker) {
        journal_.closed(id, session->name, client_gone);
        try {
            session->worker->close();
        } catch (const SimulatorError&) {
            // The session ends either way; its process went with the failure.
        }
        session->worker.reset();
    }
}

void SessionRegistry::close_all() {
    std::map<std::string, std::shared_ptr<Session>> ending;
    std::map<std::string, std::shared_ptr<ServedVector>> ending_vectors;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        ending.swap(sessions_);
        ending_vectors.swap(vectors_);
    }
    closed_.notify_all();
    // Calls in progress give up at once (closing_); once each has, every simulator is ended
    // together.
    std::vector<std::unique_lock<std::mutex>> locks;
    std::vector<WorkerProcess*> workers;
    for (const auto& [id, vector] : ending_vectors) {
        journal_.closed_at_shutdown(vector->name());
        vector->hold_for_ending(locks, workers);
    }
    for (auto& [id, session] : ending) {
        if (session->vector_id) {
            continue;
        }
        locks.emplace_back(session->mutex);
        if (session->worker) {
            journal_.closed_at_shutdown(session->name);
        }
        workers.push_back(session->worker.get());
    }
    WorkerProcess::end_all(workers);
    for (const auto& [id, vector] : ending_vectors) {
        for (const auto& slot : vector->slots()) {
            slot->worker.reset();
        }
    }
    for (auto& [id, session] : ending) {
        session->worker.reset();
    }
}

}  // namespace norva_core::sim
