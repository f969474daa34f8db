#include "sim/session_registry.h"

#include <fmt/format.h>

#include <random>
#include <vector>

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
                                 Json base_env_init)
    : folder_(std::move(folder)),
      manifest_(std::move(manifest)),
      base_env_init_(std::move(base_env_init)),
      answer_timeout_(answer_timeout_setting()),
      max_message_(max_message_setting()) {}

SessionRegistry::~SessionRegistry() {
    close_all();
}

std::string SessionRegistry::open(const std::string& env_id, const Json& env_init) {
    Json merged = base_env_init_.is_object() ? base_env_init_ : Json::object();
    if (env_init.is_object()) {
        for (const auto& [key, value] : env_init.items()) {
            merged[key] = value;
        }
    }
    auto session = std::make_shared<Session>();
    session->worker = std::make_unique<WorkerProcess>(
        folder_, manifest_, WorkerOptions{answer_timeout_, false, &closing_, max_message_});
    session->worker->make(env_id, merged);
    auto id = new_session_id();
    std::lock_guard lock(mutex_);
    if (closing_) {
        throw SimulatorError(SimulatorError::Kind::failed, "the server is stopping");
    }
    sessions_.emplace(id, std::move(session));
    return id;
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
    closing_ = true;
    std::map<std::string, std::shared_ptr<Session>> ending;
    {
        std::lock_guard lock(mutex_);
        ending.swap(sessions_);
    }
    for (auto& [id, session] : ending) {
        std::lock_guard lock(session->mutex);
        session->worker.reset();
    }
}

}  // namespace norva_core::sim
