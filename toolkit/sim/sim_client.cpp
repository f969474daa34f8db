#include "norva_core/sim_client.h"

#include <chrono>

#include "norva_core/interrupt.h"
#include "norva_core/settings.h"
#include "norva_core/sim_server_util.h"
#include "sim/common/address.h"
#include "sim/remote/remote_simulator.h"
#include "sim/space/declared_space.h"
#include "sim/target.h"

namespace norva_core {
namespace {

using sim::Json;
using namespace std::chrono_literals;

// A simulator container that was just started may need a moment before it answers; on a busy
// machine its first start can take several seconds.
void make_when_ready(sim::Simulator& simulator, const std::string& env_id, const Json& env_init) {
    auto deadline =
        std::chrono::steady_clock::now() + settings::seconds_limit(settings::Key::sim_start_limit);
    for (;;) {
        try {
            simulator.make(env_id, env_init);
            return;
        } catch (const sim::SimulatorError& error) {
            if (error.kind() != sim::SimulatorError::Kind::unreachable ||
                std::chrono::steady_clock::now() >= deadline) {
                throw;
            }
        }
        interrupt::sleep_for(200ms);
    }
}

class SessionClient final : public sim::client::Client {
  public:
    explicit SessionClient(sim::client::MakeArgs args) : args_(std::move(args)) {}

    void init() override {
        simulator_ = sim::connect_grpc(sim::parse_address(args_.address));
        make_when_ready(*simulator_, args_.env_id, args_.env_init);
    }
    Space sensor_space() override {
        return sim::declared_space(session().sensor_space(), "sensor space");
    }
    Space action_space() override {
        return sim::declared_space(session().action_space(), "action space");
    }
    void close() override {
        if (simulator_) {
            simulator_->close();
            simulator_.reset();
        }
    }

  private:
    sim::Simulator& session() {
        if (!simulator_) {
            throw std::logic_error("the client is not initialised; call init() first");
        }
        return *simulator_;
    }

    sim::client::MakeArgs args_;
    std::unique_ptr<sim::Simulator> simulator_;
};

// Makes its session on first use and closes it when it goes.
class LazySpaceClient final : public sim_server_util::SpaceClient {
  public:
    LazySpaceClient(const std::string& protocol, std::string env_id, sim::Address address)
        : protocol_(protocol), env_id_(std::move(env_id)), address_(std::move(address)) {}

    Space action_space_info() override {
        return sim::declared_space(session().action_space(), "action space");
    }
    Space sensor_space_info() override {
        return sim::declared_space(session().sensor_space(), "sensor space");
    }

  private:
    sim::Simulator& session() {
        if (!simulator_) {
            simulator_ =
                protocol_ == "grpc" ? sim::connect_grpc(address_) : sim::connect_http(address_);
            make_when_ready(*simulator_, env_id_, Json::object());
        }
        return *simulator_;
    }

    std::string protocol_;
    std::string env_id_;
    sim::Address address_;
    std::unique_ptr<sim::Simulator> simulator_;
};

}  // namespace

std::unique_ptr<sim::client::Client> sim::client::make(const MakeArgs& args) {
    return std::make_unique<SessionClient>(args);
}

std::unique_ptr<sim_server_util::SpaceClient> sim_server_util::create_client(
    const std::string& protocol, const std::string& env_id, const std::string& host, int port) {
    sim::check_protocol(protocol);
    return std::make_unique<LazySpaceClient>(protocol, env_id, sim::Address{host, port});
}

}  // namespace norva_core
