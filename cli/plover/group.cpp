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

namespace {

// The value of an option or positional: nothing when it was not given.
OptionalText given(const CLI::Option* option) {
    if (option->count() == 0 || option->results().empty()) {
        return std::nullopt;
    }
    return option->results().back();
}

std::string given_or(const CLI::Option* option, std::string fallback) {
    return given(option).value_or(std::move(fallback));
}

CLI::Option* text(CLI::App* command, const std::string& names, const std::string& help,
                  const std::string& shown_default = {}) {
    auto* option =
        command->add_option(names, help)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (names.front() == '-') {
        option->type_name("TEXT");
    }
    if (!shown_default.empty()) {
        option->default_str(shown_default);
    }
    return option;
}

// An on/off pair "--name" / "--no-name"; its value lands in the returned holder.
std::shared_ptr<bool> on_off(CLI::App* command, const std::string& name, bool default_value) {
    auto value = std::make_shared<bool>(default_value);
    command->add_flag("--" + name + ",!--no-" + name, *value)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->default_str(default_value ? "on" : "off");
    return value;
}

// --json, for scripts: one JSON document on standard output and nothing else there.
std::shared_ptr<bool> json_flag(CLI::App* command) {
    auto value = std::make_shared<bool>(false);
    command->add_flag("--json", *value, "Write the result as one JSON document, for scripts");
    return value;
}

std::string prompted(const CLI::Option* option, std::string_view prompt,
                     std::string_view fallback) {
    if (auto value = given(option)) {
        return *value;
    }
    return norva_core::console::prompt(prompt, fallback);
}

void declare_validate(CLI::App& group, const Commands& commands) {
    auto* command =
        group.add_subcommand("validate", "Validate a sim to see if it is implemented correctly");
    auto* path = text(command, "PATH", "Path to the sim (positional argument)");
    auto* path_option = text(command, "--path", "Path to the sim (option)");
    auto* address = text(command, "-a,--address", "Address to the sim, e.g., localhost:1337");
    auto* protocol = text(command, "-p,--protocol", "Protocol to run the sim (grpc, http)", "grpc");
    auto json = json_flag(command);
    command->callback([=, run = commands.validate] {
        run(given(path), given(path_option), given(address), given_or(protocol, "grpc"), *json);
    });
}

void declare_benchmark(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand(
        "benchmark", "Benchmarks a sim to see how many samples per second we can get");
    auto* path = text(command, "PATH", "Path to the sim (positional argument)");
    auto* path_option = text(command, "-p,--path", "Path to the sim (option)");
    auto* address = text(command, "-a,--address", "Address to the sim, e.g., localhost:1337");
    auto* samples = text(command, "-s,--samples", "Number of samples to benchmark", "1000");
    auto* warmup = text(command, "--warmup", "Steps taken first and left out of every figure", "0");
    auto latency = std::make_shared<bool>(false);
    command->add_flag("--latency", *latency, "Also print the step time's p50, p90, p99 and max");
    auto json = json_flag(command);
    command->callback([=, run = commands.benchmark] {
        run(given(path), given(path_option), given(address), given_or(samples, "1000"),
            given(warmup), *latency, *json);
    });
}

void declare_new(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand("new", "Create a new Sim");
    auto* name = text(command, "-n,--name", "", "my-sim");
    auto* description = text(command, "-d,--description", "", "A demo sim");
    auto* location = text(command, "-l,--location", "", "./");
    auto is_docker = std::make_shared<bool>(false);
    command->add_flag("--docker", *is_docker, "Whether to create a Docker supported sim");
    command->callback([=, run = commands.new_] {
        // Asked one after another, and only for what the command line left out.
        std::string name_value = prompted(name, "Name", "my-sim");
        std::string description_value = prompted(description, "Description", "A demo sim");
        std::string location_value = prompted(location, "Location", "./");
        run(name_value, description_value, location_value, *is_docker);
    });
}

void declare_run(CLI::App& group, const Commands& commands) {
    auto* command =
        group.add_subcommand("run", "Try to run the sim situated in the given location");
    // -h is the host here, so help is reachable as --help only.
    command->set_help_flag("--help", "Print this help message and exit");
    auto* path = text(command, "PATH", "Path to the sim (positional argument)", "./");
    auto* path_option = text(command, "--path", "Path to the sim (option)");
    auto* host = text(command, "-h,--host", "Host to run the sim", "0.0.0.0");
    auto* port = text(command, "--port", "Port to run the sim", "1337");
    auto* protocol = text(command, "-p,--protocol", "Protocol to run the sim (grpc, http)", "grpc");
    auto* env_init = text(command, "-e,--env-init", "Environment init", "{}");
    auto* max_sessions = text(command, "--max-sessions",
                              "Most sessions open at once; more are refused (default: no limit)");
    auto* session_timeout =
        text(command, "--session-timeout",
             "Seconds a session may go without a call before it is closed (default: none)");
    auto* metrics_port = text(command, "--metrics-port",
                              "Also serve GET /metrics (Prometheus) over plain HTTP on this port");
    command->callback([=, run = commands.run] {
        run(given_or(path, "./"), given(path_option), given_or(host, "0.0.0.0"),
            given_or(port, "1337"), given_or(protocol, "grpc"), given_or(env_init, "{}"),
            given(max_sessions), given(session_timeout), given(metrics_port));
    });
}

void declare_publish(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand("publish", "Publish a Simulator and upload it");
    auto* path = text(command, "PATH", "Path to the Simulator (positional argument)", "./");
    auto* path_option = text(command, "-p,--path", "Path to the Simulator (option)");
    command->callback(
        [=, run = commands.publish] { run(given_or(path, "./"), given(path_option)); });
}

void declare_list(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand("list",
                                         "List all sims under a project\n"
                                         "Optional Args:\n"
                                         "local (bool, optional): Whether to list the local sim "
                                         "images on docker. Defaults to False.");
    auto local = on_off(command, "local", false);
    auto json = json_flag(command);
    command->callback([=, run = commands.list] { run(*local, *json); });
}

void declare_retrieve(CLI::App& group, const Commands& commands) {
    group.add_subcommand("retrieve", "Retrieve a sim's image reference and registry credential")
        ->callback(commands.retrieve);
}

void declare_start(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand(
        "start",
        "Start the given sim\n"
        "\n"
        "Args:\n"
        "sim_container (str): The sim container name to start\n"
        "enable_historian (bool, optional): Whether to enable the historian. Defaults to True.\n"
        "stream (bool, optional): Whether to stream the logs. Defaults to False.");
    auto* sim_container = text(command, "SIM_CONTAINER", "")->required();
    auto enable_historian = on_off(command, "enable-historian", true);
    auto stream = on_off(command, "stream", false);
    auto show_name = on_off(command, "show-name", false);
    command->callback([=, run = commands.start] {
        run(given_or(sim_container, ""), *enable_historian, *stream, *show_name);
    });
}

void declare_logs(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand("logs", "Get the logs of the given sim");
    auto* sim_id = text(command, "SIM_ID", "")->required();
    auto stream = on_off(command, "stream", false);
    command->callback([=, run = commands.logs] { run(given_or(sim_id, ""), *stream); });
}

void declare_stop(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand("stop",
                                         "Stop the given sim or all sims.\n"
                                         "\n"
                                         "Args:\n"
                                         "sim_id (str, optional): The sim id to stop.");
    auto* sim_id = text(command, "--sim-id", "");
    command->callback([=, run = commands.stop] { run(given(sim_id)); });
}

void declare_status(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand(
        "status",
        "Get the status of the sims running\n"
        "\n"
        "Args:\n"
        "sim_name (str, optional): The sim name to get the status for. Defaults to None.\n"
        "moniker (bool, optional): Whether to get the moniker. Defaults to False.");
    auto* sim_name = text(command, "--sim-name", "");
    auto moniker = on_off(command, "moniker", false);
    auto json = json_flag(command);
    command->callback([=, run = commands.status] { run(given(sim_name), *moniker, *json); });
}

void declare_info(CLI::App& group, const Commands& commands) {
    auto* command =
        group.add_subcommand("info",
                             "Get more info about a running sim\n"
                             "\n"
                             "Args:\n"
                             "address (str): The address of the sim\n"
                             "env_id (str): The env id of the sim (e.g., \"InvertedPendulum-v4\")");
    auto* address = text(command, "--address", "");
    auto* name = text(command, "--name", "");
    auto* env_id = text(command, "--env-id", "");
    auto json = json_flag(command);
    command->callback([=, run = commands.info] {
        run(given_or(address, ""), given_or(name, ""), given_or(env_id, ""), *json);
    });
}

void declare_mappings(CLI::App& group, const Commands& commands) {
    auto* command = group.add_subcommand(
        "mappings",
        "Convert the Sensor and Action space to a JSON defining the variables that exist in those "
        "spaces");
    auto* image = text(command, "--image", "");
    auto* address = text(command, "--address", "");
    command->callback([=, run = commands.mappings] { run(given(image), given(address)); });
}

}  // namespace

Commands entry_points() {
    return {.validate = validate,
            .benchmark = benchmark,
            .new_ = new_,
            .run = run,
            .publish = publish,
            .list = list,
            .retrieve = retrieve,
            .start = start,
            .logs = logs,
            .stop = stop,
            .status = status,
            .info = info,
            .mappings = mappings};
}

std::shared_ptr<CLI::App> cli(Commands commands) {
    auto group = std::make_shared<CLI::App>();
    group->require_subcommand(1);
    declare_validate(*group, commands);
    declare_benchmark(*group, commands);
    declare_new(*group, commands);
    declare_run(*group, commands);
    declare_publish(*group, commands);
    declare_list(*group, commands);
    declare_retrieve(*group, commands);
    declare_start(*group, commands);
    declare_logs(*group, commands);
    declare_stop(*group, commands);
    declare_status(*group, commands);
    declare_info(*group, commands);
    declare_mappings(*group, commands);
    return group;
}

}  // namespace plover
