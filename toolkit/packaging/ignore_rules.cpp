#include "ignore_rules.h"

#include <fnmatch.h>

#include <array>
#include <fstream>
#include <sstream>

#include "norva_core/text_forms.h"

namespace norva_core::packaging {
namespace {

constexpr std::array<const char*, 4> always_ignored_folders = {".git", "build", "__pycache__",
                                                               ".venv"};

std::string name_of(const std::string& relative) {
    auto slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

}  // namespace

IgnoreRules::IgnoreRules(const std::string& norvaignore_text) {
    std::istringstream lines(norvaignore_text);
    for (std::string line; std::getline(lines, line);) {
        std::string glob(text_forms::trimmed(line));
        if (glob.empty() || glob.front() == '#') {
            continue;
        }
        Pattern pattern;
        if (glob.size() > 1 && glob.back() == '/') {
            pattern.folders_only = true;
            glob.pop_back();
        }
        if (glob.find('/') != std::string::npos) {
            pattern.anchored = true;
            if (glob.front() == '/') {
                glob.erase(0, 1);
            }
        }
        pattern.glob = glob;
        patterns_.push_back(pattern);
    }
}

IgnoreRules IgnoreRules::of_folder(const std::filesystem::path& folder) {
    std::ifstream file(folder / ".norvaignore");
    if (!file) {
        return {};
    }
    std::stringstream text;
    text << file.rdbuf();
    return IgnoreRules(text.str());
}

bool IgnoreRules::ignored(const std::string& relative, bool is_folder) const {
    const std::string name = name_of(relative);
    if (is_folder) {
        for (const char* folder : always_ignored_folders) {
            if (name == folder) {
                return true;
            }
        }
    }
    for (const auto& pattern : patterns_) {
        if (pattern.folders_only && !is_folder) {
            continue;
        }
        const std::string& subject = pattern.anchored ? relative : name;
        int flags = pattern.anchored ? FNM_PATHNAME : 0;
        if (fnmatch(pattern.glob.c_str(), subject.c_str(), flags) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace norva_core::packaging
