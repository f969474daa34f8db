#pragma once

#include <map>
#include <string>

namespace norva_test {

// What a .tar.gz holds, entry name -> content: a file's bytes, "-> target" for a symbolic link,
// "<folder>" for a folder.
std::map<std::string, std::string> archive_entries(const std::string& tar_gz);

}  // namespace norva_test
