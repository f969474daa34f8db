#pragma once

#include <string>

namespace norva_core::paths {

// Where norva keeps its data: NORVA_HOME, default "~/.norva".
std::string norva_home();

// Creates the folder (and its parents) readable by the owner only when it does not exist.
void ensure_private_dir(const std::string& path);

// The text with a leading "~" replaced by the user's home folder.
std::string expand_user(const std::string& path);

// The folder above the one holding the running executable: the install (or build) prefix.
std::string install_prefix();

// The login name of the current user.
std::string login_name();

}  // namespace norva_core::paths
