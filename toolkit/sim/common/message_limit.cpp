#include "sim/common/message_limit.h"

#include <fmt/format.h>

#include "norva_core/settings.h"

namespace norva_core::sim {

std::size_t max_message_setting() {
    return settings::bytes_limit(settings::Key::sim_max_message);
}

std::string message_limit_text(std::size_t limit) {
    std::string size = limit % (1 << 20) == 0   ? fmt::format("{} MiB", limit >> 20)
                       : limit % (1 << 10) == 0 ? fmt::format("{} KiB", limit >> 10)
                                                : fmt::format("{} bytes", limit);
    return "NORVA_SIM_MAX_MESSAGE (" + size + ")";
}

std::string over_message_limit(std::size_t limit) {
    return "larger than " + message_limit_text(limit);
}

}  // namespace norva_core::sim
