#include "probes.h"

#include <cmath>
#include <sstream>
#include <thread>

#include "group.h"
#include "norva_core/host_util.h"
#include "norva_core/network_util.h"
#include "norva_core/process.h"
#include "norva_core/text_forms.h"

namespace kestrel {

std::string _gib_text(double bytes) {
    // nearbyint rounds halves to the even neighbour in the default rounding mode.
    return std::to_string(static_cast<long long>(std::nearbyint(bytes / 1073741824.0))) + "Gi";
}

std::string _memory_gib_for(std::string_view kernel, const std::string& meminfo_path) {
    auto bytes = norva_core::host_util::memory_bytes_for(kernel, meminfo_path);
    return bytes ? _gib_text(static_cast<double>(*bytes)) : "unknown";
}

std::string _get_memory_gib() {
    return _memory_gib_for(norva_core::host_util::kernel_name(), std::string(_MEMINFO_PATH));
}

std::optional<std::string> _first_gpu_name(std::string_view output) {
    std::istringstream lines{std::string(norva_core::text_forms::trimmed(output))};
    for (std::string line; std::getline(lines, line);) {
        if (auto name = norva_core::text_forms::trimmed(line); !name.empty()) {
            return std::string(name);
        }
    }
    return std::nullopt;
}

std::optional<std::string> _get_gpu_name() {
    norva_core::process::Result result;
    try {
        result =
            norva_core::process::run({"nvidia-smi", "--query-gpu=name", "--format=csv,noheader"});
    } catch (const norva_core::process::ExecutableNotFound&) {
        return std::nullopt;
    }
    if (result.exit_code != 0) {
        return std::nullopt;
    }
    return _first_gpu_name(result.out);
}

nlohmann::ordered_json _get_hardware_info() {
    unsigned processors = std::thread::hardware_concurrency();
    nlohmann::ordered_json cluster = {
        {"cpu", processors > 0 ? std::to_string(processors) : "1"},
        {"memory", _get_memory_gib()},
        {"workers", nlohmann::ordered_json::array()},
        {"sims", nlohmann::ordered_json::array()},
    };
    if (auto gpu = _get_gpu_name()) {
        cluster["gpu"] = *gpu;
    }
    return {{"cluster", cluster}};
}

bool _check_docker_daemon() {
    norva_core::process::Options quiet;
    quiet.out = norva_core::process::Output::discard;
    quiet.err = norva_core::process::Output::discard;
    return norva_core::process::run({"docker", "info"}, quiet).exit_code == 0;
}

bool _is_port_in_use(int port) {
    return norva_core::network_util::accepts_on_loopback(port);
}

}  // namespace kestrel
