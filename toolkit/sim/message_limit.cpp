#include "sim/message_limit.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "norva_core/settings.h"

namespace norva_core::sim {
namespace {

std::size_t suffix_factor(std::string_view suffix) {
    if (suffix.empty()) {
        return 1;
    }
    if (suffix == "K" || suffix == "k") {
        return std::size_t{1} << 10;
    }
    if (suffix == "M" || suffix == "m") {
        return std::size_t{1} << 20;
    }
    if (suffix == "G" || suffix == "g") {
        return std::size_t{1} << 30;
    }
    return 0;
}

}  // namespace

std::size_t max_message_setting() {
    auto text = settings::value(settings::Key::sim_max_message);
    if (!text) {
        return DEFAULT_MAX_MESSAGE;
    }
    std::string_view setting(*text);
    std::size_t count = 0;
    auto [end, error] = std::from_chars(setting.data(), setting.data() + setting.size(), count);
    std::size_t factor = suffix_factor(setting.substr(end - setting.data()));
    if (error != std::errc() || end == setting.data() || factor == 0 || count == 0 ||
        count > std::numeric_limits<std::size_t>::max() / factor) {
        throw std::invalid_argument(
            "NORVA_SIM_MAX_MESSAGE must be a number of bytes such as "
            "67108864 or 64M, not '" +
            std::string(setting) + "'");
    }
    return count * factor;
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
