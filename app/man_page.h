#pragma once

#include <string>

#include "command_tree.h"

namespace norva_app {

// The manual page norva(1) in roff, from the command tree.
std::string man_page(const CommandInfo& root, const std::string& version);

}  // namespace norva_app
