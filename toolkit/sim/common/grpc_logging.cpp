#include "sim/common/grpc_logging.h"

#include <google/protobuf/stubs/logging.h>
#include <grpc/support/log.h>

#include <mutex>
#include <string>

#include "norva_core/logger_util.h"

namespace norva_core::sim {
namespace {

void to_debug_log(gpr_log_func_args* args) {
    static const auto logger = logger_util::get_logger("grpc");
    if (logger.debug_enabled()) {
        logger.debug(std::string(args->file) + ":" + std::to_string(args->line) + " " +
                     args->message);
    }
}

// Protobuf logs what it makes of a malformed message (invalid UTF-8, say); the caller already
// hears of it through the call's status, and the server's output is the user's.
void protobuf_to_debug_log(google::protobuf::LogLevel, const char* file, int line,
                           const std::string& message) {
    static const auto logger = logger_util::get_logger("protobuf");
    if (logger.debug_enabled()) {
        logger.debug(std::string(file) + ":" + std::to_string(line) + " " + message);
    }
}

}  // namespace

void route_grpc_logs() {
    static std::once_flag once;
    std::call_once(once, [] {
        gpr_set_log_function(to_debug_log);
        google::protobuf::SetLogHandler(protobuf_to_debug_log);
    });
}

}  // namespace norva_core::sim
