#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "norva_core/console.h"

namespace CLI {
class App;
}

namespace plover {

// The one console of the sim commands.
extern norva_core::console::Console console;

// One-line results, styled like the console.
void print(std::string_view text);

using OptionalText = std::optional<std::string>;

// What each command runs once its command line is parsed; values arrive as the user typed them.
struct Commands {
    std::function<void(OptionalText path, OptionalText path_option, OptionalText address,
                       std::string protocol, bool json)>
        validate;
    std::function<void(OptionalText path, OptionalText path_option, OptionalText address,
                       std::string samples, OptionalText warmup, bool latency, bool json)>
        benchmark;
    std::function<void(std::string name, std::string description, std::string location,
                       bool is_docker)>
        new_;
    std::function<void(std::string path, OptionalText path_option, std::string host,
                       std::string port, std::string protocol, std::string env_init,
                       OptionalText max_sessions, OptionalText session_timeout,
                       OptionalText metrics_port)>
        run;
    std::function<void(std::string path, OptionalText path_option)> publish;
    std::function<void(bool local, bool json)> list;
    std::function<void()> retrieve;
    std::function<void(std::string sim_container, bool enable_historian, bool stream,
                       bool show_name)>
        start;
    std::function<void(std::string sim_id, bool stream)> logs;
    std::function<void(OptionalText sim_id)> stop;
    std::function<void(OptionalText sim_name, bool moniker, bool json)> status;
    std::function<void(std::string address, std::string name, std::string env_id, bool json)> info;
    std::function<void(OptionalText image, OptionalText address)> mappings;
};

Commands entry_points();

// The `sim` group with its thirteen commands, in the order users see them.
std::shared_ptr<CLI::App> cli(Commands commands = entry_points());

// The path a command works on: the --path value when given, else the positional one.
OptionalText _final_path(const OptionalText& path, const OptionalText& path_option);

}  // namespace plover
