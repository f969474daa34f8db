#pragma once

#include <string>

// Implemented in toolkit/runtime/paths.cpp.
namespace norva_core::paths {

// Where norva keeps its data: NORVA_HOME, default "~/.norva".
std::string norva_home();

// Creates the folder (and its parents) readable by the owner only when it does not exist.
void ensure_private_dir(const std::string& path);

// The text with a leading "~" replaced by the user's home folder.
std::string expand_user(const std::string& path);

// The folder above the one holding the running executable: the install (or build) prefix.
std::string install_prefix();
// The same for a given executable: "/usr/local" for "/usr/local/bin/norva".
std::string install_prefix_of(const std::string& executable);

// Moves a file or folder to `to` in one step, never replacing anything there. Throws
// std::filesystem::filesystem_error (errc::file_exists when `to` exists).
void rename_no_replace(const std::string& from, const std::string& to);

// The login name of the current user.
std::string login_name();

// A folder made for one job, named "<prefix>XXXXXX" inside the parent, readable by the owner
// only. It is removed with everything in it when the object goes, unless it was kept.
class TemporaryFolder {
  public:
    TemporaryFolder(const std::string& parent, const std::string& prefix);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return path_; }
    // Leaves the folder in place for whoever takes it over.
    void keep() { kept_ = true; }

  private:
    std::string path_;
    bool kept_ = false;
};

// The system's folder for temporary files (TMPDIR, else /tmp).
std::string temp_dir();

}  // namespace norva_core::paths
