#pragma once

#include <memory>
#include <span>
#include <string>

#include "norva_core/grpc_util.h"
#include "norva_core/http.h"
#include "norva_core/plugin_util.h"
#include "sim/common/address.h"
#include "sim/remote/remote_simulator.h"
#include "sim/serve/listener.h"
#include "sim/serve/packed_bodies.h"

namespace norva_core::network {

// Everything that needs curl, gRPC or libarchive. These libraries take longer to load than most
// commands take to run, so they live in a module that the program loads the first time one of
// these is called. Each entry is (field, result, parameters, arguments, function): this one line
// gives the table's field, the module's entry and the program's forwarder alike.
#define NORVA_NETWORK_FUNCTIONS(ENTRY)                                                             \
    ENTRY(send, http::Response, (const http::Request& request), (request), http::send)             \
    ENTRY(connect_grpc, std::unique_ptr<sim::Simulator>,                                           \
          (const sim::Address& address, sim::GrpcSteps steps), (address, steps),                   \
          sim::connect_grpc)                                                                       \
    ENTRY(connect_http, std::unique_ptr<sim::Simulator>, (const sim::Address& address), (address), \
          sim::connect_http)                                                                       \
    ENTRY(connect_grpc_vector, std::unique_ptr<sim::SimulatorVector>,                              \
          (const sim::Address& address, std::size_t count), (address, count),                      \
          sim::connect_grpc_vector)                                                                \
    ENTRY(connect_http_vector, std::unique_ptr<sim::SimulatorVector>,                              \
          (const sim::Address& address, std::size_t count), (address, count),                      \
          sim::connect_http_vector)                                                                \
    ENTRY(listen_grpc, std::unique_ptr<sim::Listener>,                                             \
          (sim::SessionRegistry & sessions, const std::string& host, int port),                    \
          (sessions, host, port), sim::listen_grpc)                                                \
    ENTRY(is_channel_available, bool, (const std::string& address), (address),                     \
          grpc_util::is_channel_available)                                                         \
    ENTRY(package, plugin_util::Package, (const std::string& path_abs), (path_abs),                \
          plugin_util::package)                                                                    \
    ENTRY(step_body_of, sim::StepBody, (const std::string& body), (body), sim::step_body_of)       \
    ENTRY(reset_body_of, sim::ResetBody, (const std::string& body), (body), sim::reset_body_of)    \
    ENTRY(vector_reply_body, std::string,                                                          \
          (const sim::PackedForm* form, std::vector<sim::SlotAnswer>& answers, bool step,          \
           std::span<const std::size_t> env_ids),                                                  \
          (form, answers, step, env_ids), sim::vector_reply_body)

// Raised whenever the table changes, so that a program never uses a module of another build.
inline constexpr int ABI_VERSION = 7;

struct NetworkTable {
    int abi_version;
// The names and types stand where parentheses cannot go.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define NORVA_NETWORK_FIELD(field, result, parameters, arguments, function) \
    result(*field) parameters;
    NORVA_NETWORK_FUNCTIONS(NORVA_NETWORK_FIELD)
#undef NORVA_NETWORK_FIELD
    // NOLINTEND(bugprone-macro-parentheses)
};

// The module's file, relative to the install prefix, without its system's ending
// (os::MODULE_SUFFIX), and the function it exports.
inline constexpr const char* MODULE_PATH = "lib/norva/norva-network";
inline constexpr const char* TABLE_FUNCTION = "norva_network_table";

}  // namespace norva_core::network
