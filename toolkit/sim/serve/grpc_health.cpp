#include "sim/serve/grpc_health.h"

#include <chrono>

namespace norva_core::sim {
namespace {

namespace health = grpc::health::v1;

// The whole server or its one service; the standard answers any other name NOT_FOUND.
bool known(const std::string& service) {
    return service.empty() || service == "norva.sim.v1.Simulator";
}

// Health is computed on demand, so a watch looks again this often for a change.
constexpr auto WATCH_INTERVAL = std::chrono::milliseconds(200);

}  // namespace

health::HealthCheckResponse::ServingStatus GrpcHealth::status() const {
    return sessions_.unhealthy() ? health::HealthCheckResponse::NOT_SERVING
                                 : health::HealthCheckResponse::SERVING;
}

grpc::Status GrpcHealth::Check(grpc::ServerContext*, const health::HealthCheckRequest* request,
                               health::HealthCheckResponse* reply) {
    if (!known(request->service())) {
        return {grpc::StatusCode::NOT_FOUND, "unknown service"};
    }
    reply->set_status(status());
    return grpc::Status::OK;
}

grpc::Status GrpcHealth::Watch(grpc::ServerContext* context,
                               const health::HealthCheckRequest* request,
                               grpc::ServerWriter<health::HealthCheckResponse>* writer) {
    // An unknown service is watched, not refused: it may be registered later.
    bool watched = known(request->service());
    std::optional<health::HealthCheckResponse::ServingStatus> sent;
    std::unique_lock lock(mutex_);
    while (!stopped_ && !context->IsCancelled()) {
        if (auto now = watched ? status() : health::HealthCheckResponse::SERVICE_UNKNOWN;
            now != sent) {
            health::HealthCheckResponse reply;
            reply.set_status(now);
            // A client that does not read holds its Write; it must not hold the server's stop.
            lock.unlock();
            bool written = writer->Write(reply);
            lock.lock();
            if (!written) {
                break;
            }
            sent = now;
        }
        stopping_.wait_for(lock, WATCH_INTERVAL);
    }
    return {grpc::StatusCode::CANCELLED, "the watch ended"};
}

void GrpcHealth::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
}

}  // namespace norva_core::sim
