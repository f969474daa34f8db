#include "sim/grpc_logging.h"

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

}  // namespace

void route_grpc_logs() {
    static std::once_flag once;
    std::call_once(once, [] { gpr_set_log_function(to_debug_log); });
}

}  // namespace norva_core::sim
