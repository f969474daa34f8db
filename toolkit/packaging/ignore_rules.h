#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace norva_core::packaging {

// Which entries of a sim folder stay out of its archive: version control, build output, Python
// caches and environments, and what the folder's .norvaignore lists.
//
// A .norvaignore line is a glob ("*", "?", "[...]"). A trailing "/" matches folders only. A
// pattern holding a "/" elsewhere is matched against the path from the sim folder ("/data/*.csv"
// or "data/*.csv"); one without matches an entry's name at any depth. Blank lines and lines
// starting with "#" are skipped.
class IgnoreRules {
  public:
    IgnoreRules() = default;
    explicit IgnoreRules(const std::string& norvaignore_text);
    static IgnoreRules of_folder(const std::filesystem::path& folder);

    // relative: the entry's path from the sim folder, with "/" separators.
    bool ignored(const std::string& relative, bool is_folder) const;

  private:
    struct Pattern {
        std::string glob;
        bool folders_only = false;
        bool anchored = false;
    };
    std::vector<Pattern> patterns_;
};

}  // namespace norva_core::packaging
