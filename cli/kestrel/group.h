#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "norva_core/console.h"

namespace CLI {
class App;
}

namespace kestrel {

// The one console through which every compute command prints.
extern norva_core::console::Console console;

// Ports the compute stack needs on this machine, in the order they are checked and reported.
inline constexpr std::array<std::pair<int, std::string_view>, 2> REQUIRED_PORTS{{
    {8000, "compute service"},
    {8888, "SeaweedFS filer"},
}};
inline constexpr std::string_view COMPUTE_API_URL = "http://localhost:8000";
inline constexpr std::string_view _MEMINFO_PATH = "/proc/meminfo";

// The compose file of the compute stack, installed with the program.
std::string COMPOSE_FILE();

using OptionalText = std::optional<std::string>;

// What each command runs once its command line is parsed.
struct Commands {
    std::function<void(OptionalText name, OptionalText organization_id, OptionalText managed)>
        connect;
    std::function<void()> project;
    std::function<void()> disconnect;
    std::function<void(bool json)> status;
    std::function<void(OptionalText service, bool follow, OptionalText tail)> logs;
};

// The command entries of the group.
Commands entry_points();

// The `compute` group, its commands declared in the order users see them.
std::shared_ptr<CLI::App> cli(Commands commands = entry_points());

}  // namespace kestrel
