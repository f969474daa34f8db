#include "sim/session_registry.h"
#include "norva_core/settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sim/worker_vector.h"

#include "norva_core/interrupt.h"
#include "os/os.h"
#include "sim/program_check.h"

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

}  // namespace

SessionRegistry::SessionRegistry(std::filesystem::path folder, Manifest manifest,
                                 Json base_env_init, SessionLimits limits)
    : folder_(std::move(folder)),
      manifest_(std::move(manifest)),
      base_env_init_(std::move(base_env_init)),
      answer_timeout_(settings::seconds_limit(settings::Key::sim_timeout)),
      max_message_(max_message_setting()),
      limits_(limits) {
    check_startable(folder_, manifest_);
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

std::unique_ptr<WorkerProcess> SessionRegistry::start_worker(const std::atomic<bool>& closing) {
    return std::make_unique<WorkerProcess>(
        folder_, manifest_,
        WorkerOptions{answer_timeout_, false, &closing_, max_message_, &closing});
}

void SessionRegistry::note_start_failure(const std::string& env_id, const SimulatorError& error) {
    // A simulator that refuses the client's environment started well; it answered.
    if (error.kind() != SimulatorError::Kind::answered) {
        metrics_.session_start_failed();
        journal_.start_failed(env_id, error.what());
    }
}

std::string SessionRegistry::open(const std::string& env_id, const Json& env_init) {
    Json merged = merged_env_init(env_init);
    reserve(1);
    Reservation reserved{*this, 1};
    auto session = std::make_shared<Session>();
    try {
        session->worker = start_worker(session->closing);
        session->worker->make(env_id, merged);
        session->action_space = declared_space(*session->worker, false);
        session->sensor_space = declared_space(*session->worker, true);
    } catch (const SimulatorError& error) {
        note_start_failure(env_id, error);
        throw;
    }
    auto id = new_session_id();
    session->name = SessionJournal::named("Session", id, env_id);
    std::lock_guard lock(mutex_);
    if (closing_) {
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
    session->last_call = Clock::now().time_since_epoch().count();
    journal_.opened(session->name);
    sessions_.emplace(id, std::move(session));
    metrics_.session_created();
    return id;
}

std::shared_ptr<const Space> SessionRegistry::declared_space(WorkerProcess& worker, bool sensor) {
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

void SessionRegistry::check_observation(Session& session, const Space* space, const Json& result) {
    if (space == nullptr || !result.is_object() || !result.contains("observation")) {
        return;
    }
    if (auto wrong = space->mismatch(result.at("observation"), "observation")) {
        metrics_.observation_outside_space();
        if (!std::exchange(session.told_outside, true)) {
            journal_.outside_space(session.name, *wrong);
        }
    }
}

bool SessionRegistry::out_of_bounds(const Space* space, const Json& action,
                                    const std::string& what) {
    if (!space || !space->mismatch(action, "action")) {
        return false;
    }
    if (auto wrong = space->mismatch(action, "action", Bounds::ignored)) {
        throw std::invalid_argument(what + " does not fit the action space: " + *wrong);
    }
    return true;
}

Json SessionRegistry::step(const std::string& id, const Json& action) {
    auto started = Clock::now();
    auto session = find(id);
    if (out_of_bounds(session->action_space.get(), action, "the action")) {
        metrics_.action_out_of_bounds();
    }
    Json result = with_session(session, id, [&](Simulator& simulator) {
        auto stepped = simulator.step(action);
        check_observation(*session, session->sensor_space.get(), stepped);
        return stepped;
    });
    metrics_.step_answered(Clock::now() - started);
    return result;
}

class SessionRegistry::VectorCall {
  public:
    VectorCall(SessionRegistry& registry, const std::string& id)
        : vector_(registry.find_vector(id)), lock_(vector_->mutex) {
        if (vector_->closed) {
            throw VectorNotFound(id);
        }
        for (auto& session : vector_->sessions) {
            session_locks_.emplace_back(session->mutex);
            workers_.push_back(session->worker.get());
        }
        touch();
    }
    ~VectorCall() { touch(); }
    VectorCall(const VectorCall&) = delete;
    VectorCall& operator=(const VectorCall&) = delete;

    Vector& vector() { return *vector_; }
    std::span<WorkerProcess* const> workers() const { return workers_; }
    // The slot's simulator came anew.
    void replace(std::size_t slot, std::unique_ptr<WorkerProcess> worker) {
        workers_[slot] = worker.get();
        vector_->sessions[slot]->worker = std::move(worker);
    }
    // The slot's simulator, which goes.
    std::unique_ptr<WorkerProcess> take(std::size_t slot) {
        workers_[slot] = nullptr;
        return std::move(vector_->sessions[slot]->worker);
    }

  private:
    void touch() {
        auto now = Clock::now().time_since_epoch().count();
        vector_->last_call = now;
        for (auto& session : vector_->sessions) {
            session->last_call = now;
        }
    }

    std::shared_ptr<Vector> vector_;
    std::unique_lock<std::mutex> lock_;
    std::vector<std::unique_lock<std::mutex>> session_locks_;
    std::vector<WorkerProcess*> workers_;
};

MadeVector SessionRegistry::open_vector(const std::string& env_id, const Json& env_init,
                                        std::size_t count, bool autoreset) {
    if (count == 0 || count > MAX_VECTOR_SIZE) {
        throw std::invalid_argument(
            fmt::format("a vector holds 1 to {} simulators, not {}", MAX_VECTOR_SIZE, count));
    }
    auto vector = std::make_shared<Vector>();
    vector->env_id = env_id;
    vector->env_init = merged_env_init(env_init);
    vector->autoreset = autoreset;
    reserve(count);
    Reservation reserved{*this, count};
    std::vector<WorkerProcess*> workers;
    try {
        for (std::size_t slot = 0; slot < count; ++slot) {
            auto session = std::make_shared<Session>();
            session->in_vector = true;
            session->worker = start_worker(vector->closing);
            workers.push_back(session->worker.get());
            vector->sessions.push_back(std::move(session));
        }
        if (auto failure = vector_calls::first_failure(
                vector_calls::make_all(workers, env_id, vector->env_init))) {
            throw *failure;
        }
        vector->action_space = declared_space(*workers.front(), false);
        vector->sensor_space = declared_space(*workers.front(), true);
    } catch (const SimulatorError& error) {
        note_start_failure(env_id, error);
        throw;
    }
    MadeVector made{new_session_id(), {}};
    vector->name = SessionJournal::named("Vector", made.id, env_id);
    std::lock_guard lock(mutex_);
    if (closing_) {
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
    for (auto& session : vector->sessions) {
        auto id = new_session_id();
        session->name = SessionJournal::named("Session", id, env_id) + " of vector " + made.id;
        sessions_.emplace(id, session);
        vector->ids.push_back(id);
        metrics_.session_created();
    }
    journal_.opened(fmt::format("{} with {} simulators", vector->name, count));
    made.session_ids = vector->ids;
    vectors_.emplace(made.id, std::move(vector));
    return made;
}

namespace {

// The slots a reset's options.reset_mask marks, taken out of the options the simulators get;
// every slot without one.
std::vector<bool> reset_mask_of(VectorReset& reset, std::size_t count) {
    std::vector<bool> mask(count, true);
    if (!reset.options || !reset.options->contains("reset_mask")) {
        return mask;
    }
    const auto& given = reset.options->at("reset_mask");
    if (!given.is_array() || given.size() != count ||
        !std::all_of(given.begin(), given.end(),
                     [](const Json& each) { return each.is_boolean(); })) {
        throw std::invalid_argument(fmt::format(
            "'reset_mask' must be a list of {} booleans, one for each simulator", count));
    }
    for (std::size_t slot = 0; slot < count; ++slot) {
        mask[slot] = given[slot].get<bool>();
    }
    reset.options->erase("reset_mask");
    if (reset.options->empty()) {
        reset.options.reset();
    }
    return mask;
}

}  // namespace

std::vector<SlotAnswer> SessionRegistry::reset_vector(const std::string& id, VectorReset reset) {
    VectorCall call(*this, id);
    auto count = call.workers().size();
    // A wrong request restarts nothing.
    vector_calls::seeds_of(reset, count);
    auto mask = reset_mask_of(reset, count);
    std::vector<std::optional<SimulatorError>> restart_failures(count);
    restart_ended(call, restart_failures, mask);
    std::vector<WorkerProcess*> resetting(call.workers().begin(), call.workers().end());
    for (std::size_t slot = 0; slot < count; ++slot) {
        resetting[slot] = mask[slot] ? resetting[slot] : nullptr;
    }
    auto answers = vector_calls::reset_all(resetting, reset);
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!mask[slot]) {
            answers[slot] = SlotAnswer{};
        } else if (restart_failures[slot]) {
            answers[slot].error = restart_failures[slot];
        }
    }
    drop_failed(call, answers);
    return answers;
}

std::vector<SlotAnswer> SessionRegistry::step_vector(const std::string& id,
                                                     std::span<const Json> actions) {
    VectorCall call(*this, id);
    auto count = call.workers().size();
    vector_calls::check_action_count(actions.size(), count);
    std::size_t outside = 0;
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!actions[slot].is_null()) {
            outside += out_of_bounds(call.vector().action_space.get(), actions[slot],
                                     fmt::format("the action of slot {}", slot))
                           ? 1
                           : 0;
        }
    }
    // A null action leaves its simulator as it is (a client's own autoreset holds an ended one).
    std::vector<bool> stepped(count);
    for (std::size_t slot = 0; slot < count; ++slot) {
        stepped[slot] = !actions[slot].is_null();
    }
    std::vector<std::optional<SimulatorError>> restart_failures(count);
    std::vector<bool> restarted(count, false);
    if (call.vector().autoreset) {
        restarted = restart_ended(call, restart_failures, stepped);
    }
    auto started = Clock::now();
    std::vector<WorkerProcess*> stepping(call.workers().begin(), call.workers().end());
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (restarted[slot] || !stepped[slot]) {
            stepping[slot] = nullptr;
        }
    }
    auto answers = vector_calls::step_all(stepping, actions, call.vector().autoreset);
    if (std::find(restarted.begin(), restarted.end(), true) != restarted.end()) {
        answers_of_restarted(call, restarted, answers);
    }
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!stepped[slot]) {
            answers[slot] = SlotAnswer{};
        } else if (restart_failures[slot]) {
            answers[slot].error = restart_failures[slot];
        }
    }
    std::size_t answered = 0;
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (stepped[slot] && !answers[slot].error) {
            ++answered;
            check_observation(*call.vector().sessions[slot], call.vector().sensor_space.get(),
                              answers[slot].result);
        }
    }
    metrics_.steps_answered(answered, Clock::now() - started);
    metrics_.actions_out_of_bounds(outside);
    drop_failed(call, answers);
    return answers;
}

// Starts a new simulator in every slot whose simulator has gone, all made at once.
std::vector<bool> SessionRegistry::restart_ended(
    VectorCall& call, std::vector<std::optional<SimulatorError>>& failures,
    const std::vector<bool>& among) {
    auto workers = call.workers();
    std::vector<bool> restarted(workers.size(), false);
    std::vector<std::unique_ptr<WorkerProcess>> started(workers.size());
    std::vector<WorkerProcess*> making(workers.size(), nullptr);
    std::size_t count = 0;
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        count += workers[slot] == nullptr && among[slot] ? 1 : 0;
    }
    if (count == 0) {
        return restarted;
    }
    reserve(count);
    Reservation reserved{*this, count};
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (workers[slot] == nullptr && among[slot]) {
            started[slot] = start_worker(call.vector().closing);
            making[slot] = started[slot].get();
        }
    }
    const auto& vector = call.vector();
    auto made = vector_calls::make_all(making, vector.env_id.get<std::string>(), vector.env_init);
    std::lock_guard lock(mutex_);
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (!started[slot]) {
            continue;
        }
        if (made[slot].error || closing_) {
            failures[slot] = made[slot].error.value_or(
                SimulatorError(SimulatorError::Kind::failed, "the server is stopping"));
            note_start_failure(vector.env_id.get<std::string>(), *failures[slot]);
            continue;
        }
        call.replace(slot, std::move(started[slot]));
        sessions_.emplace(vector.ids[slot], vector.sessions[slot]);
        metrics_.session_created();
        restarted[slot] = true;
    }
    return restarted;
}

// A restarted slot takes no action: its new simulator is reset, and the first observation of
// its new episode is the slot's answer, as a step that earned nothing and ended nothing.
void SessionRegistry::answers_of_restarted(VectorCall& call, const std::vector<bool>& restarted,
                                           std::vector<SlotAnswer>& answers) {
    std::vector<WorkerProcess*> resetting(restarted.size(), nullptr);
    for (std::size_t slot = 0; slot < restarted.size(); ++slot) {
        if (restarted[slot]) {
            resetting[slot] = call.workers()[slot];
        }
    }
    auto resets = vector_calls::reset_all(resetting, {});
    for (std::size_t slot = 0; slot < restarted.size(); ++slot) {
        if (!restarted[slot]) {
            continue;
        }
        if (resets[slot].error) {
            answers[slot] = std::move(resets[slot]);
            continue;
        }
        auto& reset = resets[slot].result;
        answers[slot].error.reset();
        answers[slot].result =
            Json{{"observation", std::move(reset.at("observation"))},
                 {"reward", 0},
                 {"terminated", false},
                 {"truncated", false},
                 {"info", reset.contains("info") ? std::move(reset.at("info")) : Json::object()}};
    }
}

void SessionRegistry::drop_failed(VectorCall& call, const std::vector<SlotAnswer>& answers) {
    auto workers = call.workers();
    // A call abandoned because the vector or the server is closing failed no simulator.
    bool abandoned = call.vector().closing || closing_;
    std::vector<std::unique_ptr<WorkerProcess>> dropped;
    for (std::size_t slot = 0; slot < workers.size(); ++slot) {
        if (workers[slot] != nullptr && workers[slot]->ended()) {
            if (!abandoned) {
                metrics_.simulator_failed(answers[slot].error &&
                                          answers[slot].error->kind() ==
                                              SimulatorError::Kind::timed_out);
                journal_.failed(call.vector().sessions[slot]->name,
                                answers[slot].error ? answers[slot].error->what() : "it ended");
            }
            dropped.push_back(call.take(slot));
            forget(call.vector().ids[slot]);
        }
    }
    std::vector<WorkerProcess*> ending;
    for (auto& worker : dropped) {
        ending.push_back(worker.get());
    }
    WorkerProcess::end_all(ending);
}

void SessionRegistry::close_vector(const std::string& id, bool client_gone) {
    std::shared_ptr<Vector> vector;
    {
        std::lock_guard lock(mutex_);
        auto found = vectors_.find(id);
        if (found == vectors_.end()) {
            throw VectorNotFound(id);
        }
        vector = found->second;
        vectors_.erase(found);
        for (const auto& session_id : vector->ids) {
            sessions_.erase(session_id);
        }
    }
    if (client_gone) {
        journal_.closed_with_client(id, vector->name);
    } else {
        journal_.closed_by_client(vector->name);
    }
    end_vector(*vector);
}

// A step in progress gives up at once, so the vector ends now rather than when the step would
// have timed out; its simulators are asked to close and then ended together.
void SessionRegistry::end_vector(Vector& vector) {
    vector.closing = true;
    std::lock_guard lock(vector.mutex);
    vector.closed = true;
    std::vector<std::unique_lock<std::mutex>> locks;
    std::vector<WorkerProcess*> workers;
    for (auto& session : vector.sessions) {
        locks.emplace_back(session->mutex);
        workers.push_back(session->worker.get());
    }
    vector_calls::close_all(workers);
    WorkerProcess::end_all(workers);
    for (auto& session : vector.sessions) {
        session->worker.reset();
    }
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
        std::vector<std::pair<std::string, std::shared_ptr<Session>>> idle;
        for (auto entry = sessions_.begin(); entry != sessions_.end();) {
            auto& session = entry->second;
            bool quiet = !session->in_vector && Clock::duration(now - session->last_call) > limit;
            // A session in a call is not idle, however long the call takes.
            if (quiet && session->mutex.try_lock()) {
                session->mutex.unlock();
                idle.emplace_back(entry->first, session);
                entry = sessions_.erase(entry);
            } else {
                ++entry;
            }
        }
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
            journal_.closed_idle(id, vector->name, idle_for(vector->last_call));
            end_vector(*vector);
        }
        lock.lock();
    }
}

std::vector<std::pair<std::string, std::shared_ptr<SessionRegistry::Vector>>>
SessionRegistry::take_idle_vectors(Clock::rep now, std::chrono::milliseconds limit) {
    auto quiet = [&](Clock::rep last_call) { return Clock::duration(now - last_call) > limit; };
    std::vector<std::pair<std::string, std::shared_ptr<Vector>>> idle;
    for (auto entry = vectors_.begin(); entry != vectors_.end();) {
        auto& vector = entry->second;
        bool all_quiet =
            quiet(vector->last_call) &&
            std::all_of(vector->sessions.begin(), vector->sessions.end(),
                        [&](const auto& session) { return quiet(session->last_call); });
        // A vector in a call is not idle, however long the call takes.
        if (all_quiet && vector->mutex.try_lock()) {
            vector->mutex.unlock();
            for (const auto& id : vector->ids) {
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

std::shared_ptr<SessionRegistry::Session> SessionRegistry::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        throw_if_closing();
        if (auto closed = journal_.closed_reason(id)) {
            throw SessionNotFound(id, *closed);
        }
        throw SessionNotFound(id);
    }
    return found->second;
}

std::shared_ptr<SessionRegistry::Vector> SessionRegistry::find_vector(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = vectors_.find(id);
    if (found == vectors_.end()) {
        throw_if_closing();
        if (auto closed = journal_.closed_reason(id)) {
            throw VectorNotFound(id, *closed);
        }
        throw VectorNotFound(id);
    }
    return found->second;
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
    forget(id);
    session->closing = true;
    std::lock_guard lock(session->mutex);
    if (session->worker) {
        if (client_gone) {
            journal_.closed_with_client(id, session->name);
        } else {
            journal_.closed_by_client(session->name);
        }
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
    std::map<std::string, std::shared_ptr<Vector>> ending_vectors;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        ending.swap(sessions_);
        ending_vectors.swap(vectors_);
    }
    closed_.notify_all();
    // Calls in progress give up at once (closing_); once each has, every simulator is ended
    // together. A vector is locked before its sessions, in slot order, as its calls lock them.
    std::vector<std::unique_lock<std::mutex>> locks;
    std::vector<WorkerProcess*> workers;
    for (const auto& [id, vector] : ending_vectors) {
        journal_.closed_at_shutdown(vector->name);
        locks.emplace_back(vector->mutex);
        vector->closed = true;
        for (auto& session : vector->sessions) {
            locks.emplace_back(session->mutex);
            workers.push_back(session->worker.get());
        }
    }
    for (auto& [id, session] : ending) {
        if (session->in_vector) {
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
        for (auto& session : vector->sessions) {
            session->worker.reset();
        }
    }
    for (auto& [id, session] : ending) {
        session->worker.reset();
    }
}

}  // namespace norva_core::sim
