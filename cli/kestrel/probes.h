#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// "<n>Gi", rounded half to even, or "unknown" when the size cannot be found out.
std::string _get_memory_gib();
// The same for a given kernel name and memory file, so it can be checked off the real host.
std::string _memory_gib_for(std::string_view kernel_name, const std::string& meminfo_path);
std::string _gib_text(double bytes);

// The first GPU that nvidia-smi lists, or nothing without nvidia-smi or when it fails.
std::optional<std::string> _get_gpu_name();
std::optional<std::string> _first_gpu_name(std::string_view nvidia_smi_output);

// {"cluster": {"cpu", "memory", "workers", "sims", and "gpu" when there is one}}
nlohmann::ordered_json _get_hardware_info();

// Whether the Docker engine answers `docker info`.
bool _check_docker_daemon();

// Whether something accepts TCP connections on 127.0.0.1 at the port.
bool _is_port_in_use(int port);

}  // namespace kestrel
