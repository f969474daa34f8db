#include "group.h"

#include <CLI/CLI.hpp>

#include "commands.h"
#include "managed_flag_command.h"
#include "norva_core/paths.h"

namespace kestrel {

norva_core::console::Console console{stdout};

std::string COMPOSE_FILE() {
    return norva_core::paths::install_prefix() + "/share/norva/compute/docker-compose.yml";
}

Commands entry_points() {
    return {.connect = connect,
            .project = project,
            .disconnect = disconnect,
            .status = status,
            .logs = logs};
}

std::shared_ptr<CLI::App> cli(Commands commands) {
    auto group = std::make_shared<CLI::App>();
    group->require_subcommand(1);

    auto connect_command = std::make_shared<_ManagedFlagCommand>(
        "Start the local compute node and register it with the NORVA platform.", "connect");
    connect_command->callback([command = connect_command.get(), run = commands.connect] {
        run(command->cluster_name(), command->organization_id(), command->managed());
    });
    group->add_subcommand(connect_command);

    group
        ->add_subcommand("project",
                         "Select (or change) the project locally-specified components are "
                         "published to.")
        ->callback(commands.project);
    group
        ->add_subcommand("disconnect",
                         "Stop the local compute node and deregister it from the NORVA platform.")
        ->callback(commands.disconnect);
    auto* status_command = group->add_subcommand(
        "status", "Show whether a compute node is connected, and how it is doing.");
    auto json = std::make_shared<bool>(false);
    status_command->add_flag("--json", *json, "Write the status as JSON, for scripts");
    status_command->callback([json, run = commands.status] { run(*json); });

    auto* logs_command =
        group->add_subcommand("logs", "Show the logs of the compute node's services.");
    auto* service = logs_command->add_option(
        "SERVICE", "Only this service (compute, filer or redis); all of them when left out");
    auto follow = std::make_shared<bool>(false);
    logs_command->add_flag("-f,--follow", *follow, "Keep printing new lines until interrupted");
    auto* tail = logs_command->add_option("-n,--tail", "Only the last N lines of each service")
                     ->type_name("N");
    logs_command->callback([=, run = commands.logs] {
        auto value = [](const CLI::Option* option) -> OptionalText {
            return option->count() == 0 ? std::nullopt : OptionalText(option->as<std::string>());
        };
        run(value(service), *follow, value(tail));
    });
    return group;
}

}  // namespace kestrel
