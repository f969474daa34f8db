#include "norva_core/paths.h"
#include "norva_core/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "os/os.h"

namespace norva_core::paths {
namespace {

std::string home_dir() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

}  // namespace

std::string norva_home() {
    return settings::value(settings::Key::home).value_or(home_dir() + "/.norva");
}

void ensure_private_dir(const std::string& path) {
    namespace fs = std::filesystem;
    if (fs::is_directory(path)) {
        return;
    }
    fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::exists(parent)) {
        ensure_private_dir(parent.string());
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(), "cannot create " + path);
    }
}

std::string expand_user(const std::string& path) {
    if (path == "~" || path.starts_with("~/")) {
        return home_dir() + path.substr(1);
    }
    return path;
}

std::string install_prefix_of(const std::string& executable) {
    return std::filesystem::path(executable).parent_path().parent_path().string();
}

std::string install_prefix() {
    auto executable = os::executable_path();
    return executable ? install_prefix_of(executable->string()) : ".";
}

void rename_no_replace(const std::string& from, const std::string& to) {
    if (int failure = os::rename_no_replace(from.c_str(), to.c_str()); failure != 0) {
        throw std::filesystem::filesystem_error("cannot move into place", from, to,
                                                std::error_code(failure, std::generic_category()));
    }
}

std::string login_name() {
    // The environment first, as login shells and sudo set it, then the password database.
    for (const char* name : {"LOGNAME", "USER", "LNAME", "USERNAME"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return value;
        }
    }
    if (const passwd* entry = getpwuid(geteuid()); entry != nullptr) {
        return entry->pw_name;
    }
    return "user";
}

}  // namespace norva_core::paths

namespace norva_core::paths {

TemporaryFolder::TemporaryFolder(const std::string& parent, const std::string& prefix) {
    std::string pattern = (std::filesystem::path(parent) / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::filesystem::filesystem_error("cannot create a folder in", parent,
                                                std::error_code(errno, std::generic_category()));
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    if (!kept_) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string temp_dir() {
    std::error_code error;
    auto folder = std::filesystem::temp_directory_path(error);
    return error ? "/tmp" : folder.string();
}

}  // namespace norva_core::paths
