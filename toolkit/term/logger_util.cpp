#include "norva_core/logger_util.h"

#include <cstdio>
#include <cstdlib>

#include "norva_core/markup.h"
#include "norva_core/settings.h"

namespace norva_core::logger_util {
namespace {

void write_line(std::string_view text) {
    std::string line = markup::render(text, markup::color_enabled(stderr)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

bool Logger::debug_enabled() const {
    return settings::value(settings::Key::log_level) == "debug";
}

void Logger::info(std::string_view text) const {
    write_line(text);
}

void Logger::debug(std::string_view text) const {
    if (debug_enabled()) {
        write_line("[dim]" + name_ + ":[/dim] " + std::string(text));
    }
}

Logger get_logger(std::string name) {
    return Logger(std::move(name));
}

}  // namespace norva_core::logger_util
