#include "man_page.h"

#include <sstream>

namespace norva_app {
namespace {

// Text as roff reads it literally: backslashes and dashes escaped, no line taken for a request.
std::string roff(const std::string& text) {
    std::string escaped;
    bool line_start = true;
    for (char c : text) {
        if (line_start && (c == '.' || c == '\'')) {
            escaped += "\\&";
        }
        if (c == '\\') {
            escaped += "\\e";
        } else if (c == '-') {
            escaped += "\\-";
        } else {
            escaped += c;
        }
        line_start = c == '\n';
    }
    return escaped;
}

std::string option_line(const OptionInfo& option) {
    std::string line;
    for (const auto& name : option.names) {
        line += (line.empty() ? "" : ", ") + std::string("\\fB") + roff(name) + "\\fR";
    }
    return option.takes_value ? line + " \\fIVALUE\\fR" : line;
}

void write_command(std::ostringstream& page, const CommandInfo& command, const std::string& path) {
    if (!path.empty()) {
        page << ".SS \"" << roff(path);
        for (const auto& positional : command.positionals) {
            page << " [" << roff(positional) << "]";
        }
        page << "\"\n" << roff(command.description) << "\n";
        for (const auto& option : command.options) {
            if (option.names.front() == "--help") {
                continue;  // said once, for the program
            }
            page << ".TP\n" << option_line(option) << "\n" << roff(option.description) << "\n";
        }
    }
    for (const auto& sub : command.commands) {
        write_command(page, sub, path.empty() ? "norva " + sub.name : path + " " + sub.name);
    }
}

}  // namespace

std::string man_page(const CommandInfo& root, const std::string& version) {
    std::ostringstream page;
    page << ".TH NORVA 1 \"\" \"norva " << roff(version) << "\" \"User Commands\"\n"
         << ".SH NAME\nnorva \\- the command\\-line client of the NORVA platform\n"
         << ".SH SYNOPSIS\n.B norva\n\\fICOMMAND\\fR [\\fIOPTIONS\\fR]\n"
         << ".SH DESCRIPTION\n"
         << roff(root.description) << "\n";
    for (const auto& option : root.options) {
        page << ".TP\n" << option_line(option) << "\n" << roff(option.description) << "\n";
    }
    page << ".SH COMMANDS\n";
    write_command(page, root, "");
    page << ".SH ENVIRONMENT\n"
            ".TP\n.B NORVA_API_URL\nThe platform address (default https://api.norva.dev).\n"
            ".TP\n.B NORVA_HOME\nWhere norva keeps its data (default ~/.norva).\n"
            ".TP\n.B NORVA_TOKEN\nThe platform session token; overrides the one "
            "\\fBnorva login\\fR stores.\n"
            ".TP\n.B NORVA_API_KEY\nThe node credential of a compute node.\n"
            ".TP\n.B NORVA_SIM_MAX_MESSAGE\nMost bytes in one simulator answer, HTTP body or "
            "gRPC message (default 64M).\n"
            ".TP\n.B NO_COLOR, FORCE_COLOR\nColour off or on, whatever the terminal.\n"
            ".SH EXIT STATUS\n"
            "0 on success, 1 when a command fails, 2 for a usage error, 128 plus the signal's "
            "number when a signal ends the command (130 for Ctrl-C, 143 for SIGTERM).\n";
    return page.str();
}

}  // namespace norva_app
