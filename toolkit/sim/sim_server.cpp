#include "norva_core/sim_server.h"

#include <atomic>
#include <filesystem>

#include "norva_core/interrupt.h"
#include "norva_core/logger_util.h"
#include "norva_core/markup.h"
#include "sim/target.h"
#include "sim/transport/listener.h"

namespace norva_core::sim::server {
namespace {

class SimServer final : public Server {
  public:
    SimServer(const std::filesystem::path& folder, const std::string& host, int port,
              const Json& env_init, const std::string& protocol, const SessionLimits& limits,
              std::optional<int> metrics_port)
        : sessions_(folder, load_manifest(folder), env_init, limits),
          description_("sim '" + markup::escape(quoted_value(sessions_.manifest().name)) +
                       "' over " + protocol + " on " + host + ":" + std::to_string(port)) {
        interrupt::BlockedInThreads blocked;
        listener_ = protocol == "grpc" ? listen_grpc(sessions_, host, port)
                                       : listen_http(sessions_, host, port);
        if (metrics_port) {
            metrics_listener_ = listen_metrics(sessions_, host, *metrics_port);
            description_ += ", metrics on port " + std::to_string(*metrics_port);
        }
    }
    ~SimServer() override { stop(); }

    void start() override {
        logger_util::get_logger("norva_core.sim.server")
            .info("Serving " + description_ + "; press Ctrl-C to stop");
        while (!stopped_) {
            interrupt::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void stop() override {
        if (stopped_.exchange(true)) {
            return;
        }
        // Sessions first: calls waiting on a simulator give up, so the listener ends at once.
        sessions_.close_all();
        listener_->shutdown();
        if (metrics_listener_) {
            metrics_listener_->shutdown();
        }
    }

  private:
    SessionRegistry sessions_;
    std::string description_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<Listener> metrics_listener_;
    std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<Server> make_from_sim_path(const std::string& path, const std::string& host,
                                           int port, const nlohmann::ordered_json& env_init,
                                           const std::string& protocol, const SessionLimits& limits,
                                           std::optional<int> metrics_port) {
    check_protocol(protocol);
    auto folder = std::filesystem::absolute(path).lexically_normal();
    return std::make_unique<SimServer>(folder, host, port, env_init, protocol, limits,
                                       metrics_port);
}

}  // namespace norva_core::sim::server
