#pragma once

#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norva_core/sim_errors.h"
#include "sim/common/access_token.h"
#include "sim/common/session_errors.h"
#include "sim/common/simulator.h"

// How every failure of a served sim crosses the wire, for both servers and both clients: the
// "kind" and status of an HTTP error body, and the gRPC status code. Codes are grpc::StatusCode's
// numbers, so the HTTP side needs no gRPC header.
namespace norva_core::sim::wire_errors {

struct Form {
    std::string_view kind;
    int http_status;
    int grpc_code;
};

// The simulator answered with an error of its own (gRPC UNKNOWN).
inline constexpr Form ANSWERED{"answered", 422, 2};
// The simulator gave no answer in time (DEADLINE_EXCEEDED).
inline constexpr Form TIMED_OUT{"timed_out", 504, 4};
// The simulator ended or broke the protocol (INTERNAL).
inline constexpr Form FAILED{"failed", 502, 13};
// No such session (NOT_FOUND).
inline constexpr Form NOT_FOUND{"not_found", 404, 5};
// The session limit is reached (RESOURCE_EXHAUSTED).
inline constexpr Form BUSY{"busy", 503, 8};
// The request itself is wrong (INVALID_ARGUMENT).
inline constexpr Form INVALID{"invalid", 400, 3};
// The call lacks the server's token (UNAUTHENTICATED).
inline constexpr Form UNAUTHENTICATED{"unauthenticated", 401, 16};
// The server failed in a way of its own (INTERNAL).
inline constexpr Form SERVER_FAULT{"failed", 500, 13};

// What a client that cannot reach the server at all sees from gRPC (UNAVAILABLE).
inline constexpr int GRPC_UNAVAILABLE = 14;
inline constexpr int GRPC_RESOURCE_EXHAUSTED = 8;

inline const Form& form_of(SimulatorError::Kind kind) {
    switch (kind) {
        case SimulatorError::Kind::answered:
            return ANSWERED;
        case SimulatorError::Kind::timed_out:
            return TIMED_OUT;
        case SimulatorError::Kind::failed:
        case SimulatorError::Kind::unreachable:
            break;
    }
    return FAILED;
}

struct Failure {
    const Form& form;
    std::string message;
};

// Runs a served call; a failure comes back with the form it crosses the wire in.
template <class Body>
std::optional<Failure> failure_of(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (const access_token::Unauthenticated& error) {
        return Failure{UNAUTHENTICATED, error.what()};
    } catch (const SessionNotFound& error) {
        return Failure{NOT_FOUND, error.what()};
    } catch (const VectorNotFound& error) {
        return Failure{NOT_FOUND, error.what()};
    } catch (const SessionLimit& error) {
        return Failure{BUSY, error.what()};
    } catch (const CapacityExhausted& error) {
        return Failure{BUSY, error.what()};
    } catch (const SimulatorError& error) {
        return Failure{form_of(error.kind()), error.what()};
    } catch (const std::invalid_argument& error) {
        // InvalidRequest, and the checks of the vector calls.
        return Failure{INVALID, error.what()};
    } catch (const std::exception& error) {
        return Failure{SERVER_FAULT, error.what()};
    }
}

// A vector call's answers as they cross the wire: {"results": [...]}, each slot its result or
// {"error": message, "kind": kind}, and the "env_ids" of a vector with a batch size.
inline Json slot_answers_json(std::vector<SlotAnswer>&& answers,
                              std::span<const std::size_t> env_ids = {}) {
    Json results = Json::array();
    for (auto& answer : answers) {
        if (answer.error) {
            results.push_back(Json{{"error", answer.error->what()},
                                   {"kind", form_of(answer.error->kind()).kind}});
        } else {
            results.push_back(std::move(answer.result));
        }
    }
    Json json{{"results", std::move(results)}};
    if (!env_ids.empty()) {
        json["env_ids"] = std::vector<std::size_t>(env_ids.begin(), env_ids.end());
    }
    return json;
}

SimulatorError::Kind kind_of_http(std::string_view kind, int status);

// A vector call's answers read back by a client; throws SimulatorError for an answer of another
// shape or length.
inline std::vector<SlotAnswer> slot_answers_of(Json reply, std::size_t count) {
    if (!reply.is_object() || !reply.contains("results") || !reply.at("results").is_array() ||
        reply.at("results").size() != count) {
        throw SimulatorError(SimulatorError::Kind::failed,
                             "the server's answer to a vector call does not hold " +
                                 std::to_string(count) + " results");
    }
    std::vector<SlotAnswer> answers;
    for (auto& result : reply.at("results")) {
        SlotAnswer answer;
        if (result.is_object() && result.contains("error")) {
            const auto& kind = result.value("kind", Json());
            answer.error = SimulatorError(
                kind_of_http(kind.is_string() ? kind.get<std::string>() : std::string(), 0),
                result.at("error").is_string() ? result.at("error").get<std::string>()
                                               : result.at("error").dump());
        } else {
            answer.result = std::move(result);
        }
        answers.push_back(std::move(answer));
    }
    return answers;
}

// The kind a client reads back from an HTTP error body's "kind" and the status.
inline SimulatorError::Kind kind_of_http(std::string_view kind, int status) {
    if (kind == ANSWERED.kind) {
        return SimulatorError::Kind::answered;
    }
    if (kind == TIMED_OUT.kind || status == TIMED_OUT.http_status) {
        return SimulatorError::Kind::timed_out;
    }
    return SimulatorError::Kind::failed;
}

// The kind a client reads back from a gRPC status code.
inline SimulatorError::Kind kind_of_grpc(int code) {
    if (code == ANSWERED.grpc_code) {
        return SimulatorError::Kind::answered;
    }
    if (code == TIMED_OUT.grpc_code) {
        return SimulatorError::Kind::timed_out;
    }
    // Our server reports its own failures as INTERNAL, so this is the transport: nothing listens
    // yet, or a proxy in front (Docker's) has nothing behind it yet.
    if (code == GRPC_UNAVAILABLE) {
        return SimulatorError::Kind::unreachable;
    }
    return SimulatorError::Kind::failed;
}

}  // namespace norva_core::sim::wire_errors
