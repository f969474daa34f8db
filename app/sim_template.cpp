#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "norva_cli/main.h"
#include "norva_core/console.h"
#include "norva_core/markup.h"
#include "norva_core/paths.h"

namespace norva_cli::main::sim {
namespace {

namespace fs = std::filesystem;

struct Values {
    std::string name;
    std::string description;
    std::string type;
};

void check_name(const std::string& name) {
    if (name.empty()) {
        throw std::invalid_argument("The sim name must not be empty.");
    }
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
        throw std::invalid_argument("The sim name '" + name + "' must not hold a path separator.");
    }
    if (name == "." || name == "..") {
        throw std::invalid_argument("The sim name '" + name + "' is not a folder name.");
    }
}

fs::path template_folder() {
    fs::path folder = fs::path(norva_core::paths::install_prefix()) / "share/norva/sim_template";
    if (!fs::is_directory(folder / "base")) {
        throw std::runtime_error("The sim template is missing from " + folder.string() +
                                 "; reinstall norva.");
    }
    return folder;
}

// A TOML basic string holding the text.
std::string toml_string(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\t':
                quoted += "\\t";
                break;
            case '\r':
                quoted += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

void replace_all(std::string& text, const std::string& placeholder, const std::string& value) {
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
}

// The template file with the project's values filled in, quoted where the file is TOML.
std::string filled(const fs::path& file, const Values& values) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    bool toml = file.extension() == ".toml";
    auto value = [&](const std::string& plain) { return toml ? toml_string(plain) : plain; };
    replace_all(text, "{{name}}", value(values.name));
    replace_all(text, "{{description}}", value(values.description));
    replace_all(text, "{{type}}", value(values.type));
    return text;
}

void write_files(const fs::path& from, const fs::path& to, const Values& values) {
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        fs::path target = to / entry.path().lexically_relative(from);
        if (entry.is_directory()) {
            fs::create_directories(target);
            continue;
        }
        std::ofstream out(target, std::ios::binary);
        out << filled(entry.path(), values);
        out.close();
        if (!out) {
            throw std::runtime_error("Cannot write " + target.string() + ".");
        }
        fs::permissions(target, entry.status().permissions());
    }
}

// Folders are made readable by others the way the user's umask says, like mkdir does.
void open_up(const fs::path& folder) {
    mode_t mask = umask(0);
    umask(mask);
    fs::permissions(folder, static_cast<fs::perms>(0777 & ~mask));
}

void move_into_place(const fs::path& staged, const fs::path& project) {
    try {
        norva_core::paths::rename_no_replace(staged.string(), project.string());
    } catch (const fs::filesystem_error& error) {
        if (error.code() == std::errc::file_exists) {
            throw std::runtime_error("The folder " + project.string() + " already exists.");
        }
        throw std::system_error(error.code(), "Cannot create " + project.string());
    }
}

void write_project(const fs::path& templates, const fs::path& parent, const fs::path& project,
                   const Values& values, bool is_docker) {
    fs::create_directories(parent);
    // Built aside and moved in at once, so a failure half-way leaves nothing behind.
    norva_core::paths::TemporaryFolder staging(parent.string(), "." + values.name + ".new-");
    write_files(templates / "base", staging.path(), values);
    if (is_docker) {
        write_files(templates / "docker", staging.path(), values);
    }
    open_up(staging.path());
    move_into_place(staging.path(), project);
    staging.keep();
}

}  // namespace

void create(const std::string& name, const std::string& description, const std::string& location,
            bool is_docker) {
    check_name(name);
    fs::path parent = norva_core::paths::expand_user(location.empty() ? "." : location);
    fs::path project = parent / name;
    if (fs::exists(fs::symlink_status(project))) {
        throw std::runtime_error("The folder " + project.string() + " already exists.");
    }
    fs::path templates = template_folder();
    try {
        write_project(templates, parent, project,
                      {name, description, is_docker ? "sim-docker" : "sim"}, is_docker);
    } catch (const fs::filesystem_error& error) {
        throw std::runtime_error("Cannot create the sim in " + parent.string() + ": " +
                                 error.code().message() + ".");
    }

    using norva_core::markup::escape;
    norva_core::console::Console(stdout).print(
        "[green]Created the sim " + escape(name) + " in " + escape(project.string()) +
        "[/green]\nNext: norva sim validate " + escape(project.string()));
}

}  // namespace norva_cli::main::sim
