#include "application.h"

#include <signal.h>

#include <CLI/CLI.hpp>

#include "exit_status.h"
#include "help_formatter.h"
#include "kestrel/group.h"
#include "plover/group.h"
#include "version.h"

namespace norva_app {
namespace {

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

    use_formatter(*root, std::make_shared<HelpFormatter>());
    return root;
}

}  // namespace

int Application::run(int argc, char** argv) {
    // A closed pipe on stdout is an ordinary write error, not a reason to die silently.
    ::signal(SIGPIPE, SIG_IGN);
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
