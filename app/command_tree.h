#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace norva_app {

// The visible command line of norva as a plain value, for the completion scripts and the manual
// page: hidden commands and options are left out.
struct OptionInfo {
    std::vector<std::string> names;  // "--name", "-n"
    std::string description;
    bool takes_value = false;
};

struct CommandInfo {
    std::string name;
    std::string description;
    std::vector<std::string> positionals;
    std::vector<OptionInfo> options;
    std::vector<CommandInfo> commands;
};

CommandInfo describe(const CLI::App& command);

}  // namespace norva_app
