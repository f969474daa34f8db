#include "session_cache.h"

#include <chrono>

#include "group.h"
#include "norva_core/interrupt.h"
#include "norva_core/process.h"
#include "stack.h"

namespace kestrel {

void _flush_stale_session_cache(int retries, double delay_seconds) {
    const auto flush = _compose_command({"exec", "-T", "redis", "redis-cli", "FLUSHALL"});
    for (int attempt = 0; attempt < retries; ++attempt) {
        if (norva_core::process::run(flush).exit_code == 0) {
            return;
        }
        if (attempt < retries - 1) {
            norva_core::interrupt::sleep_for(
                std::chrono::milliseconds(static_cast<long>(delay_seconds * 1000)));
        }
    }
    console.print(
        "[yellow]Warning: could not clear stale session cache in Redis — a previous session's job "
        "records may still be present.[/yellow]");
}

}  // namespace kestrel
