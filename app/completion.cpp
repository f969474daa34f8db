#include "completion.h"

#include <functional>

namespace norva_app {
namespace {

// Visits every command with its path below the root ("" for the root, "sim publish", ...).
void for_each_command(const CommandInfo& command, const std::string& path,
                      const std::function<void(const std::string&, const CommandInfo&)>& visit) {
    visit(path, command);
    for (const auto& sub : command.commands) {
        for_each_command(sub, path.empty() ? sub.name : path + " " + sub.name, visit);
    }
}

std::string joined_names(const CommandInfo& command) {
    std::string words;
    for (const auto& sub : command.commands) {
        words += (words.empty() ? "" : " ") + sub.name;
    }
    return words;
}

std::string joined_options(const CommandInfo& command) {
    std::string words;
    for (const auto& option : command.options) {
        for (const auto& name : option.names) {
            words += (words.empty() ? "" : " ") + name;
        }
    }
    return words;
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The text inside single quotes of fish.
std::string fish_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "'";
}

}  // namespace

std::string bash_completion(const CommandInfo& root) {
    std::string commands;
    std::string options;
    for_each_command(root, "", [&](const std::string& path, const CommandInfo& command) {
        commands += "        \"" + path + "\") echo \"" + joined_names(command) + "\" ;;\n";
        options += "        \"" + path + "\") echo \"" + joined_options(command) + "\" ;;\n";
    });
    return "# bash completion for norva: eval \"$(norva completion bash)\"\n"
           "_norva_commands() {\n    case \"$1\" in\n" +
           commands +
           "    esac\n}\n"
           "_norva_options() {\n    case \"$1\" in\n" +
           options +
           "    esac\n}\n"
           "_norva() {\n"
           "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" path=\"\" word i\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=\"${COMP_WORDS[i]}\"\n"
           "        if [[ \" $(_norva_commands \"$path\") \" == *\" $word \"* ]]; then\n"
           "            path=\"${path:+$path }$word\"\n"
           "        fi\n"
           "    done\n"
           "    if [[ \"$cur\" == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$(_norva_options \"$path\")\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -W \"$(_norva_commands \"$path\")\" -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -o default -F _norva norva\n";
}

std::string zsh_completion(const CommandInfo& root) {
    return "# zsh completion for norva: eval \"$(norva completion zsh)\"\n"
           "autoload -U +X bashcompinit && bashcompinit\n" +
           bash_completion(root);
}

std::string fish_completion(const CommandInfo& root) {
    std::string script =
        "# fish completion for norva: norva completion fish | source\n"
        "function __norva_commands\n    switch \"$argv[1]\"\n";
    for_each_command(root, "", [&](const std::string& path, const CommandInfo& command) {
        script += "        case " + fish_quoted(path) + "\n            echo " +
                  fish_quoted(joined_names(command)) + "\n";
    });
    script +=
        "    end\nend\n"
        "function __norva_path\n"
        "    set -l path ''\n"
        "    for word in (commandline -opc)[2..-1]\n"
        "        if contains -- $word (string split ' ' (__norva_commands $path))\n"
        "            set path (string trim \"$path $word\")\n"
        "        end\n"
        "    end\n"
        "    echo $path\n"
        "end\n"
        "complete -c norva -f\n";
    for_each_command(root, "", [&](const std::string& path, const CommandInfo& command) {
        std::string when = " -n " + fish_quoted("test (__norva_path) = " + fish_quoted(path));
        for (const auto& sub : command.commands) {
            script += "complete -c norva" + when + " -a " + fish_quoted(sub.name) + " -d " +
                      fish_quoted(first_line(sub.description)) + "\n";
        }
        for (const auto& option : command.options) {
            script += "complete -c norva" + when;
            for (const auto& name : option.names) {
                script +=
                    (name.starts_with("--") ? " -l " + name.substr(2) : " -s " + name.substr(1));
            }
            script += (option.takes_value ? " -r" : "") + std::string(" -d ") +
                      fish_quoted(first_line(option.description)) + "\n";
        }
    });
    return script;
}

}  // namespace norva_app
