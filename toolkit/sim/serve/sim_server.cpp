#include "norva_core/sim_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "norva_core/host_util.h"
#include "norva_core/interrupt.h"
#include "norva_core/logger_util.h"
#include "norva_core/markup.h"
#include "norva_core/text_forms.h"
#include "sim/common/access_token.h"
#include "sim/common/address.h"
#include "sim/serve/listener.h"
#include "sim/worker/worker_process.h"

namespace norva_core::sim {

std::size_t default_max_sessions() {
    constexpr std::uint64_t MEMORY_PER_SESSION = 64ull << 20;
    constexpr std::size_t FEWEST = 64;
    auto memory = host_util::memory_bytes().value_or(0);
    auto by_memory =
        std::max<std::size_t>(FEWEST, static_cast<std::size_t>(memory / MEMORY_PER_SESSION));
    // Each simulator holds two of the server's descriptors (its stdin and stdout); the rest is
    // left to connections, listeners and the runtime.
    constexpr std::size_t FILES_PER_SESSION = 2;
    constexpr std::size_t FILES_KEPT = 256;
    if (auto files = raised_open_file_limit()) {
        auto by_files = *files > FILES_KEPT + FILES_PER_SESSION
                            ? (*files - FILES_KEPT) / FILES_PER_SESSION
                            : std::size_t{1};
        return std::min(by_memory, by_files);
    }
    return by_memory;
}

std::optional<std::string> server_token(const std::optional<std::string>& file) {
    if (!file) {
        return access_token::of_clients();
    }
    constexpr std::size_t MOST = 4096;
    std::ifstream in(*file, std::ios::binary);
    std::string text(MOST + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || (!in && !in.eof())) {
        throw std::invalid_argument("Cannot read the token file " + *file + ": " +
                                    std::strerror(errno));
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > MOST) {
        throw std::invalid_argument("The token file " + *file + " is larger than a token (" +
                                    std::to_string(MOST) + " bytes at most)");
    }
    auto token = std::string(text_forms::trimmed(text.substr(0, text.find('\n'))));
    if (token.empty()) {
        throw std::invalid_argument("The token file " + *file + " holds no token");
    }
    return token;
}

}  // namespace norva_core::sim

namespace norva_core::sim::server {
namespace {

class SimServer final : public Server {
  public:
    SimServer(const std::filesystem::path& folder, const std::string& host, int port,
              const Json& env_init, const std::string& protocol, const ServeOptions& options)
        : sessions_(folder, load_manifest(folder), env_init, options.limits),
          description_("sim '" + markup::escape(quoted_value(sessions_.manifest().name)) +
                       "' over " + protocol + " on " + host + ":" + std::to_string(port)) {
        interrupt::BlockedInThreads blocked;
        listener_ = protocol == "grpc" ? listen_grpc(sessions_, host, port)
                                       : listen_http(sessions_, host, port);
        if (options.metrics_port) {
            metrics_listener_ = listen_metrics(sessions_, host, *options.metrics_port);
            description_ += ", metrics on port " + std::to_string(*options.metrics_port);
        }
        if (options.limits.token) {
            description_ += "; every call but the health probe needs the token";
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
                                           const std::string& protocol,
                                           const ServeOptions& options) {
    check_protocol(protocol);
    auto folder = std::filesystem::absolute(path).lexically_normal();
    return std::make_unique<SimServer>(folder, host, port, env_init, protocol, options);
}

}  // namespace norva_core::sim::server
