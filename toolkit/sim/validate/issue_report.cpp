#include <fmt/format.h>

#include <algorithm>

#include "norva_core/console.h"
#include "norva_core/markup.h"
#include "norva_core/sim_validator_util.h"

namespace norva_core::sim_validator_util {
namespace {

std::string counted(std::size_t count, const char* noun) {
    return fmt::format("{} {}{}", count, noun, count == 1 ? "" : "s");
}

std::string line_of(const Issue& issue) {
    auto label = issue.severity == Severity::error ? "[bold red]error[/bold red]  "
                                                   : "[yellow]warning[/yellow]";
    return fmt::format("{} [bold]{}[/bold]: {}", label, markup::escape(issue.check),
                       markup::escape(issue.message));
}

}  // namespace

void print_issues(const std::vector<Issue>& errors) {
    console::Console out(stdout);
    for (const auto& issue : errors) {
        out.print(line_of(issue));
    }
    auto failing = static_cast<std::size_t>(
        std::count_if(errors.begin(), errors.end(),
                      [](const Issue& issue) { return issue.severity == Severity::error; }));
    auto warnings = errors.size() - failing;
    if (errors.empty()) {
        out.print("[green]Validation found no issues.[/green]");
    } else {
        out.print(fmt::format("{}Validation found {} and {}.{}", failing ? "[red]" : "[yellow]",
                              counted(failing, "error"), counted(warnings, "warning"),
                              failing ? "[/red]" : "[/yellow]"));
    }
}

}  // namespace norva_core::sim_validator_util
