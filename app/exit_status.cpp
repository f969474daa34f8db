#include "exit_status.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "norva_core/errors.h"
#include "norva_core/markup.h"

namespace norva_app {
namespace {

void write_error(const std::string& message) {
    std::string line =
        norva_core::markup::render("[red]Error: " + norva_core::markup::escape(message) + "[/red]",
                                   norva_core::markup::color_enabled(stderr)) +
        "\n";
    std::fputs(line.c_str(), stderr);
}

// The command the user ran as far as it was recognised: a group, or a command within one.
const CLI::App& deepest_command(const CLI::App& root) {
    const CLI::App* command = &root;
    for (auto chosen = command->get_subcommands(); !chosen.empty();
         chosen = command->get_subcommands()) {
        command = chosen.front();
    }
    return *command;
}

// For a group given a word it does not know, a message naming that word: the parser would only
// say that a command is required.
std::optional<std::string> unknown_word(const CLI::App& root) {
    const auto& command = deepest_command(root);
    auto left = command.remaining();
    if (command.get_subcommands({}).empty() || left.empty()) {
        return std::nullopt;
    }
    const auto& word = left.front();
    return (word.rfind('-', 0) == 0 ? "No such option '" : "No such command '") + word + "'.";
}

}  // namespace

int report_outcome(std::exception_ptr outcome, const CLI::App& root) {
    if (!outcome) {
        return exit_success;
    }
    try {
        std::rethrow_exception(outcome);
    } catch (const CLI::CallForHelp&) {
        std::cout << root.help();
        return exit_success;
    } catch (const CLI::ParseError& error) {
        // Help and version requests are parse "errors" with status 0.
        if (error.get_exit_code() == 0) {
            return const_cast<CLI::App&>(root).exit(error);
        }
        write_error(unknown_word(root).value_or(error.what()));
        std::fputs("Run with --help for more information.\n", stderr);
        return exit_usage;
    } catch (const norva_core::ExitRequest& request) {
        return request.status;
    } catch (const norva_core::Interrupted& interrupted) {
        std::fputs("\nAborted.\n", stderr);
        return exit_signalled + interrupted.signal;
    } catch (const std::exception& error) {
        write_error(error.what());
        return exit_failure;
    } catch (...) {
        write_error("unexpected failure");
        return exit_failure;
    }
}

}  // namespace norva_app
