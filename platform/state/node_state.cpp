#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "norva_core/paths.h"
#include "state/private_file.h"
#include "state/state.h"

namespace norva_cli::compute::state {

std::string record_path() {
    return norva_core::paths::norva_home() + "/compute/node.json";
}

std::optional<nlohmann::ordered_json> load() {
    auto record = norva_platform::read_json_object(record_path());
    if (record && record->empty()) {
        return std::nullopt;
    }
    return record;
}

void save(const nlohmann::ordered_json& record) {
    norva_core::paths::ensure_private_dir(norva_core::paths::norva_home());
    norva_platform::write_private_json(record_path(), record);
}

void delete_() {
    std::string path = record_path();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw StateError("cannot remove " + path + ": " + std::strerror(errno));
    }
}

}  // namespace norva_cli::compute::state
