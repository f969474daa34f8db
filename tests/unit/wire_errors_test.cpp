#include <grpcpp/support/status_code_enum.h>
#include <gtest/gtest.h>

#include "sim/common/wire_errors.h"
#include "sim/serve/listener.h"

namespace {

namespace wire_errors = norva_core::sim::wire_errors;
using Kind = norva_core::sim::SimulatorError::Kind;

TEST(WireErrors, EverySimulatorErrorReadsBackAsItsKindOverBothProtocols) {
    for (Kind kind : {Kind::answered, Kind::failed, Kind::timed_out, Kind::unreachable}) {
        const auto& form = wire_errors::form_of(kind);
        // A server's simulator is a local process: one it cannot reach has failed.
        Kind read_back = kind == Kind::unreachable ? Kind::failed : kind;
        EXPECT_EQ(wire_errors::kind_of_http(form.kind, form.http_status), read_back) << form.kind;
        EXPECT_EQ(wire_errors::kind_of_grpc(form.grpc_code), read_back) << form.kind;
    }
    EXPECT_EQ(wire_errors::kind_of_grpc(grpc::StatusCode::UNAVAILABLE), Kind::unreachable);
    EXPECT_EQ(wire_errors::kind_of_http("", 504), Kind::timed_out);
}

TEST(WireErrors, CodesAreGrpcsOwn) {
    EXPECT_EQ(wire_errors::ANSWERED.grpc_code, grpc::StatusCode::UNKNOWN);
    EXPECT_EQ(wire_errors::TIMED_OUT.grpc_code, grpc::StatusCode::DEADLINE_EXCEEDED);
    EXPECT_EQ(wire_errors::FAILED.grpc_code, grpc::StatusCode::INTERNAL);
    EXPECT_EQ(wire_errors::NOT_FOUND.grpc_code, grpc::StatusCode::NOT_FOUND);
    EXPECT_EQ(wire_errors::BUSY.grpc_code, grpc::StatusCode::RESOURCE_EXHAUSTED);
    EXPECT_EQ(wire_errors::INVALID.grpc_code, grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(wire_errors::SERVER_FAULT.grpc_code, grpc::StatusCode::INTERNAL);
    EXPECT_EQ(wire_errors::GRPC_UNAVAILABLE, grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(wire_errors::GRPC_RESOURCE_EXHAUSTED, grpc::StatusCode::RESOURCE_EXHAUSTED);
}

TEST(WireErrors, EachFailureOfACallHasItsForm) {
    auto form_of_throw = [](auto error) {
        auto failure = wire_errors::failure_of([&] { throw error; });
        return failure ? std::string(failure->form.kind) + " " +
                             std::to_string(failure->form.http_status) + " " + failure->message
                       : "none";
    };
    EXPECT_EQ(form_of_throw(norva_core::sim::SessionNotFound("s1")),
              "not_found 404 no session 's1'; it was closed or never made");
    EXPECT_EQ(form_of_throw(norva_core::sim::InvalidRequest("bad")), "invalid 400 bad");
    EXPECT_EQ(form_of_throw(norva_core::sim::SimulatorError(Kind::answered, "no")),
              "answered 422 no");
    EXPECT_EQ(form_of_throw(std::runtime_error("oops")), "failed 500 oops");
    EXPECT_FALSE(wire_errors::failure_of([] {}));
}

}  // namespace
