#pragma once

#include <condition_variable>
#include <mutex>

#include "health.grpc.pb.h"
#include "sim/serve/session_registry.h"

namespace norva_core::sim {

// The standard health service, so that fleet engines probe the server natively. It needs no
// token: a probe carries none. The status is computed when asked, as for GET /v1/health.
class GrpcHealth final : public grpc::health::v1::Health::Service {
  public:
    explicit GrpcHealth(const SessionRegistry& sessions) : sessions_(sessions) {}

    grpc::Status Check(grpc::ServerContext* context,
                       const grpc::health::v1::HealthCheckRequest* request,
                       grpc::health::v1::HealthCheckResponse* reply) override;

    grpc::Status Watch(grpc::ServerContext* context,
                       const grpc::health::v1::HealthCheckRequest* request,
                       grpc::ServerWriter<grpc::health::v1::HealthCheckResponse>* writer) override;

    // A watch waits for a change that may never come; stopping must not wait for it.
    void stop();

  private:
    grpc::health::v1::HealthCheckResponse::ServingStatus status() const;

    const SessionRegistry& sessions_;
    std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopped_ = false;
};

}  // namespace norva_core::sim
