#include <grpcpp/grpcpp.h>

#include "norva_core/grpc_util.h"
#include "norva_core/interrupt.h"
#include "sim/common/address.h"
#include "sim/common/grpc_logging.h"

namespace norva_core {

bool grpc_util::is_channel_available(const std::string& address) {
    auto parsed = sim::readable_address(address);
    if (!parsed) {
        return false;
    }
    sim::route_grpc_logs();
    interrupt::BlockedInThreads blocked;
    auto channel = grpc::CreateChannel(parsed->text(), grpc::InsecureChannelCredentials());
    return channel->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(2));
}

}  // namespace norva_core
