#include "man_page.h"

#include <cctype>
#include <sstream>
#include <string_view>

#include "norva_core/settings.h"

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

// The README's form of a setting's text without its code marks.
std::string unticked(std::string_view text) {
    std::string plain;
    for (char c : text) {
        if (c != '`') {
            plain += c;
        }
    }
    return plain;
}

std::string sentence(std::string_view meaning) {
    auto text = unticked(meaning);
    if (!text.empty()) {
        text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    }
    return text;
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
    page << ".SH ENVIRONMENT\n";
    for (const auto& setting : norva_core::settings::table()) {
        page << ".TP\n.B " << roff(std::string(setting.variable)) << "\n"
             << roff(sentence(setting.meaning)) << " (default: " << roff(unticked(setting.fallback))
             << ").\n";
    }
    page << ".SH EXIT STATUS\n"
            "0 on success, 1 when a command fails, 2 for a usage error, 128 plus the signal's "
            "number when a signal ends the command (130 for Ctrl-C, 143 for SIGTERM).\n";
    return page.str();
}

}  // namespace norva_app
