#pragma once

#include <memory>
#include <optional>
#include <string>

#include "norva_core/console.h"
#include "parameters.h"

namespace plover {

// The one console of the sim commands.
extern norva_core::console::Console console;

// One-line results, styled like the console.
void print(std::string_view text);

// What each command runs once its command line is parsed; the values are read through the
// command's table.
struct Commands {
    Entry validate;
    Entry benchmark;
    Entry new_;
    Entry run;
    Entry publish;
    Entry list;
    Entry retrieve;
    Entry start;
    Entry logs;
    Entry stop;
    Entry status;
    Entry info;
    Entry mappings;
};

Commands entry_points();

// The `sim` group with its thirteen commands, in the order users see them.
std::shared_ptr<CLI::App> cli(Commands commands = entry_points());

// The path a command works on: the --path value when given, else the positional one.
OptionalText _final_path(const OptionalText& path, const OptionalText& path_option);

}  // namespace plover
