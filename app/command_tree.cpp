#include "command_tree.h"

#include <CLI/CLI.hpp>

namespace norva_app {
namespace {

OptionInfo describe(const CLI::Option& option) {
    OptionInfo info;
    for (const auto& name : option.get_lnames()) {
        info.names.push_back("--" + name);
    }
    for (const auto& name : option.get_snames()) {
        info.names.push_back("-" + name);
    }
    info.description = option.get_description();
    info.takes_value = option.get_expected_max() > 0;
    return info;
}

}  // namespace

CommandInfo describe(const CLI::App& command) {
    CommandInfo info;
    info.name = command.get_name();
    info.description = command.get_description();
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_group().empty()) {
            continue;
        }
        if (option->nonpositional()) {
            info.options.push_back(describe(*option));
        } else {
            info.positionals.push_back(option->get_name());
        }
    }
    for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; })) {
        if (!sub->get_group().empty()) {
            info.commands.push_back(describe(*sub));
        }
    }
    return info;
}

}  // namespace norva_app
