#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "sim/manifest.h"
#include "sim/worker_process.h"

namespace norva_core::sim {

class SessionNotFound : public std::out_of_range {
  public:
    explicit SessionNotFound(const std::string& id)
        : std::out_of_range("no session '" + id + "'; it was closed or never made") {}
};

// The sessions of one server, each with its own simulator process. Calls within a session run
// one at a time; different sessions run side by side.
class SessionRegistry {
  public:
    SessionRegistry(std::filesystem::path folder, Manifest manifest, Json base_env_init);
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    const Manifest& manifest() const { return manifest_; }

    // Starts a simulator and makes its environment; the client's entries override the server's.
    std::string open(const std::string& env_id, const Json& env_init);

    // Runs `call` on the session's simulator. A simulator that failed is dropped with its process.
    template <class Call>
    auto with(const std::string& id, Call&& call) {
        auto session = find(id);
        std::lock_guard lock(session->mutex);
        if (!session->worker) {
            throw SessionNotFound(id);
        }
        try {
            return call(*session->worker);
        } catch (const SimulatorError& error) {
            if (error.kind() != SimulatorError::Kind::answered) {
                session->worker.reset();
                forget(id);
            }
            throw;
        }
    }

    void close(const std::string& id);
    // Ends every session at once; waits for answers in progress are abandoned.
    void close_all();

  private:
    struct Session {
        std::mutex mutex;
        std::unique_ptr<WorkerProcess> worker;
    };
    std::shared_ptr<Session> find(const std::string& id) const;
    void forget(const std::string& id);

    std::filesystem::path folder_;
    Manifest manifest_;
    Json base_env_init_;
    std::chrono::milliseconds answer_timeout_;
    std::size_t max_message_;
    std::atomic<bool> closing_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace norva_core::sim
