#pragma once

#include <CLI/CLI.hpp>

namespace norva_app {

// Lists each command by the first line of its description, so that multi-line descriptions keep
// the command list readable; a command's own help shows the whole text.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_subcommand(const CLI::App* sub) const override;
};

// Gives the command and everything below it the formatter.
void use_formatter(CLI::App& command, const std::shared_ptr<HelpFormatter>& formatter);

}  // namespace norva_app
