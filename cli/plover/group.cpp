#include "group.h"

#include <CLI/CLI.hpp>

#include "commands.h"

namespace plover {

norva_core::console::Console console{stdout};

void print(std::string_view text) {
    console.print(text);
}

OptionalText _final_path(const OptionalText& path, const OptionalText& path_option) {
    return path_option ? path_option : path;
}

Commands entry_points() {
    return {.validate = validate_command,
            .benchmark = benchmark_command,
            .new_ = new_command,
            .run = run_command,
            .publish = publish_command,
            .list = list_command,
            .retrieve = retrieve_command,
            .start = start_command,
            .logs = logs_command,
            .stop = stop_command,
            .status = status_command,
            .info = info_command,
            .mappings = mappings_command};
}

std::shared_ptr<CLI::App> cli(Commands commands) {
    auto group = std::make_shared<CLI::App>();
    group->require_subcommand(1);
    declare(*group, VALIDATE_COMMAND, commands.validate);
    declare(*group, BENCHMARK_COMMAND, commands.benchmark);
    declare(*group, NEW_COMMAND, commands.new_);
    declare(*group, RUN_COMMAND, commands.run);
    declare(*group, PUBLISH_COMMAND, commands.publish);
    declare(*group, LIST_COMMAND, commands.list);
    declare(*group, RETRIEVE_COMMAND, commands.retrieve);
    declare(*group, START_COMMAND, commands.start);
    declare(*group, LOGS_COMMAND, commands.logs);
    declare(*group, STOP_COMMAND, commands.stop);
    declare(*group, STATUS_COMMAND, commands.status);
    declare(*group, INFO_COMMAND, commands.info);
    declare(*group, MAPPINGS_COMMAND, commands.mappings);
    return group;
}

}  // namespace plover
