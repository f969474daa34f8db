#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace kestrel {

struct StackSettings {
    std::string platform_url;
    std::string api_key;
    std::string cluster_id;
    std::string environment_name;
};

// `docker compose -f <compose file>` followed by the arguments.
std::vector<std::string> _compose_command(std::initializer_list<std::string> args);

// The running command's environment with the stack's variables replacing inherited ones.
std::vector<std::string> _stack_environment(const StackSettings& settings);

// `docker compose -f <file> up -d`; on failure prints the tool's error and requests exit 1.
void _start_stack(const StackSettings& settings);

// `docker compose -f <file> down`, with nothing printed and the outcome ignored.
void _stop_stack_quietly();

}  // namespace kestrel
