#include "application.h"

#include <signal.h>

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>

#include "account.h"
#include "command_tree.h"
#include "completion.h"
#include "exit_status.h"
#include "help_formatter.h"
#include "kestrel/group.h"
#include "man_page.h"
#include "norva_core/interrupt.h"
#include "plover/group.h"
#include "version.h"

namespace norva_app {
namespace {

void add_account_commands(CLI::App& root) {
    auto* login = root.add_subcommand(
        "login", "Sign in to the NORVA platform: check a session token and store it.");
    auto with_token = std::make_shared<bool>(false);
    login->add_flag("--with-token", *with_token, "Read the token from standard input");
    login->callback([with_token] { norva_app::login(*with_token); });
    root.add_subcommand("logout", "Remove the stored session token.")->callback(logout);
}

void add_documentation_commands(CLI::App& root) {
    auto* completion = root.add_subcommand(
        "completion", "Print a shell completion script: eval \"$(norva completion bash)\".");
    auto shell = std::make_shared<std::string>();
    completion->add_option("SHELL", *shell, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember({"bash", "zsh", "fish"}));
    completion->callback([shell, &root] {
        auto tree = describe(root);
        std::cout << (*shell == "bash"  ? bash_completion(tree)
                      : *shell == "zsh" ? zsh_completion(tree)
                                        : fish_completion(tree));
    });

    // Used by the build to write the manual page; not for users, so not listed.
    auto* manual = root.add_subcommand("manpage", "Write the manual page norva(1).")->group("");
    auto file = std::make_shared<std::string>();
    manual->add_option("FILE", *file)->required();
    manual->callback([file, &root] {
        std::ofstream out(*file);
        out << man_page(describe(root), version);
        if (!out.flush()) {
            throw std::runtime_error("Cannot write " + *file);
        }
    });
}

std::unique_ptr<CLI::App> build_root() {
    auto root = std::make_unique<CLI::App>("norva: the command-line client of the NORVA platform.",
                                           "norva");
    root->set_version_flag("--version", std::string("norva ") + version,
                           "Show the version and exit");
    root->require_subcommand(1);

    auto compute = kestrel::cli();
    compute->name("compute");
    compute->description("Run this machine as a NORVA compute node.");
    root->add_subcommand(compute);

    auto sim = plover::cli();
    sim->name("sim");
    sim->description("Build, check, serve and publish simulators.");
    root->add_subcommand(sim);

    add_account_commands(*root);
    add_documentation_commands(*root);
    use_formatter(*root, std::make_shared<HelpFormatter>());
    return root;
}

}  // namespace

int Application::run(int argc, char** argv) {
    // A closed pipe on stdout is an ordinary write error, not a reason to die silently.
    ::signal(SIGPIPE, SIG_IGN);
    // From here on every ending signal becomes Interrupted, whatever the command.
    norva_core::interrupt::Scope signals;
    auto root = build_root();
    std::exception_ptr outcome;
    try {
        root->parse(argc, argv);
    } catch (...) {
        outcome = std::current_exception();
    }
    return report_outcome(outcome, *root);
}

}  // namespace norva_app
