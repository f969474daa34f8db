#include "sim/session_registry.h"

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <vector>

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
      answer_timeout_(answer_timeout_setting()),
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

std::string SessionRegistry::open(const std::string& env_id, const Json& env_init) {
    Json merged = base_env_init_.is_object() ? base_env_init_ : Json::object();
    if (env_init.is_object()) {
        for (const auto& [key, value] : env_init.items()) {
            merged[key] = value;
        }
    }
    {
        std::lock_guard lock(mutex_);
        if (limits_.max_sessions && sessions_.size() + opening_ >= *limits_.max_sessions) {
            throw SessionLimit(*limits_.max_sessions);
        }
        ++opening_;
    }
    struct Opened {
        SessionRegistry& registry;
        ~Opened() {
            std::lock_guard lock(registry.mutex_);
            --registry.opening_;
        }
    } opened{*this};
    auto session = std::make_shared<Session>();
    session->worker = std::make_unique<WorkerProcess>(
        folder_, manifest_, WorkerOptions{answer_timeout_, false, &closing_, max_message_});
    session->worker->make(env_id, merged);
    auto id = new_session_id();
    std::lock_guard lock(mutex_);
    if (closing_) {
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
    session->last_call = Clock::now().time_since_epoch().count();
    sessions_.emplace(id, std::move(session));
    metrics_.session_created();
    return id;
}

Json SessionRegistry::step(const std::string& id, const Json& action) {
    auto started = Clock::now();
    Json result = with(id, [&](Simulator& simulator) { return simulator.step(action); });
    metrics_.step_answered(Clock::now() - started);
    return result;
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
        std::vector<std::shared_ptr<Session>> idle;
        for (auto entry = sessions_.begin(); entry != sessions_.end();) {
            auto& session = entry->second;
            bool quiet = Clock::duration(now - session->last_call) > limit;
            // A session in a call is not idle, however long the call takes.
            if (quiet && session->mutex.try_lock()) {
                session->mutex.unlock();
                idle.push_back(session);
                entry = sessions_.erase(entry);
            } else {
                ++entry;
            }
        }
        lock.unlock();
        for (auto& session : idle) {
            std::lock_guard ending(session->mutex);
            session->worker.reset();
        }
        lock.lock();
    }
}

std::shared_ptr<SessionRegistry::Session> SessionRegistry::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        throw SessionNotFound(id);
    }
    return found->second;
}

void SessionRegistry::forget(const std::string& id) {
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

void SessionRegistry::close(const std::string& id) {
    auto session = find(id);
    forget(id);
    std::lock_guard lock(session->mutex);
    if (session->worker) {
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
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        ending.swap(sessions_);
    }
    closed_.notify_all();
    for (auto& [id, session] : ending) {
        std::lock_guard lock(session->mutex);
        session->worker.reset();
    }
}

}  // namespace norva_core::sim
