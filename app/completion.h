#pragma once

#include <string>

#include "command_tree.h"

namespace norva_app {

// Shell completion scripts for the command tree: commands after the command path typed so far,
// options when the word starts with "-".
std::string bash_completion(const CommandInfo& root);
std::string zsh_completion(const CommandInfo& root);
std::string fish_completion(const CommandInfo& root);

}  // namespace norva_app
