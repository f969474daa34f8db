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
#include "state/state.h"

namespace norva_platform {
namespace {

using norva_cli::compute::state::StateError;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw StateError(what + " " + path + ": " + std::strerror(errno));
}

void write_fully(int fd, const std::string& text, const std::string& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            fail("cannot write", path);
        }
        done += static_cast<std::size_t>(wrote);
    }
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
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        fail("cannot write", path);
    }
    try {
        write_fully(fd, value.dump(2) + "\n", temporary);
        if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
            fail("cannot write", temporary);
        }
        ::close(fd);
        fd = -1;
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            fail("cannot replace", path);
        }
    } catch (...) {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        throw;
    }
    // Make the rename itself durable.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace norva_platform
