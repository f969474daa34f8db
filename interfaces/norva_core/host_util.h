#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the operating system says about this machine. Implemented in toolkit/runtime/host_util.cpp
// (the kernel) and toolkit/os/machine_memory.cpp (the memory). None of them throws.
namespace norva_core::host_util {

// The kernel's name as uname gives it ("Linux", "Darwin"), or empty when it cannot be read.
std::string kernel_name();

// The machine's physical memory in bytes; nothing when the system will not say.
std::optional<std::uint64_t> memory_bytes();

// The same for a kernel of the given name: "Darwin" asks macOS's tool for hw.memsize,
// "Linux" reads the MemTotal line of the memory file at meminfo_path; any other kernel, or
// any failure, is nothing.
std::optional<std::uint64_t> memory_bytes_for(std::string_view kernel,
                                              const std::string& meminfo_path);

// The bytes the MemTotal line of a Linux memory file gives; nothing without a readable one.
std::optional<std::uint64_t> meminfo_total_bytes(std::string_view meminfo_text);

}  // namespace norva_core::host_util
