#include "stack.h"

#include <array>

#include "group.h"
#include "norva_core/errors.h"
#include "norva_core/markup.h"
#include "norva_core/process.h"
#include "orderly_exit.h"

namespace kestrel {

std::vector<std::string> _compose_command(std::initializer_list<std::string> args) {
    std::vector<std::string> argv{"docker", "compose", "-f", COMPOSE_FILE()};
    argv.insert(argv.end(), args);
    return argv;
}

std::vector<std::string> _stack_environment(const StackSettings& settings) {
    const std::array<std::pair<std::string, std::string>, 4> stack_variables{{
        {"NORVA_PLATFORM_URL", settings.platform_url},
        {"NORVA_API_KEY", settings.api_key},
        {"NORVA_CLUSTER_ID", settings.cluster_id},
        {"NORVA_ENV", settings.environment_name},
    }};
    std::vector<std::string> env;
    for (const auto& entry : norva_core::process::environment()) {
        std::string_view text(entry);
        std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& variable : stack_variables) {
            replaced = replaced || name == variable.first;
        }
        if (!replaced) {
            env.emplace_back(text);
        }
    }
    for (const auto& [name, value] : stack_variables) {
        env.push_back(name + "=" + value);
    }
    return env;
}

void _start_stack(const StackSettings& settings) {
    norva_core::process::Options options;
    options.env = _stack_environment(settings);
    norva_core::process::Result result;
    {
        auto status = console.status("Starting compute stack...");
        result = norva_core::process::run(_compose_command({"up", "-d"}), options);
    }
    if (result.exit_code != 0) {
        _fail("[red]Failed to start compute stack:\n" + norva_core::markup::escape(result.err) +
              "[/red]");
    }
}

void _stop_stack_quietly() {
    try {
        norva_core::process::run(_compose_command({"down"}));
    } catch (const std::exception&) {
        // Clean-up goes on whatever the tool says; the original failure is what matters.
    }
}

}  // namespace kestrel
