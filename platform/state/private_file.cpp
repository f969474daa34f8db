#include "state/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "norva_core/json_input.h"
#include "norva_core/paths.h"
#include "norva_core/unique_fd.h"
#include "state/state.h"

namespace norva_platform {
namespace {

using norva_cli::compute::state::StateError;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw StateError(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

std::optional<nlohmann::ordered_json> read_json_object(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (!std::filesystem::exists(path)) {
            return std::nullopt;
        }
        fail("cannot read", path);
    }
    std::stringstream text;
    text << file.rdbuf();
    StateError damaged(path + " is damaged (not a JSON object); fix or remove it");
    nlohmann::ordered_json value;
    try {
        value = norva_core::json_input::parse(text.str());
    } catch (const norva_core::json_input::InputError&) {
        throw damaged;
    }
    if (!value.is_object()) {
        throw damaged;
    }
    return value;
}

void write_private_json(const std::string& path, const nlohmann::ordered_json& value) {
    std::filesystem::path target(path);
    std::string folder = target.parent_path().string();
    norva_core::paths::ensure_private_dir(folder);
    std::string temporary = path + ".XXXXXX";
    norva_core::UniqueFd file(::mkstemp(temporary.data()));
    if (!file) {
        fail("cannot write", path);
    }
    try {
        if (!norva_core::write_all(file.get(), value.dump(2) + "\n") ||
            ::fchmod(file.get(), 0600) != 0 || ::fsync(file.get()) != 0 ||
            ::close(file.release()) != 0) {
            fail("cannot write", temporary);
        }
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            fail("cannot replace", path);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    // Make the rename itself durable.
    if (norva_core::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY)); dir) {
        ::fsync(dir.get());
    }
}

}  // namespace norva_platform
