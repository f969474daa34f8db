#include "help_formatter.h"

#include <sstream>

namespace norva_app {

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
    std::string description = sub->get_description();
    std::string first_line = description.substr(0, description.find('\n'));
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(), first_line, get_column_width());
    return out.str();
}

void use_formatter(CLI::App& command, const std::shared_ptr<HelpFormatter>& formatter) {
    command.formatter(formatter);
    for (CLI::App* sub : command.get_subcommands({})) {
        use_formatter(*sub, formatter);
    }
}

}  // namespace norva_app
