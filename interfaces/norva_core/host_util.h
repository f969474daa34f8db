#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the operating system says about this machine. Implemented in toolkit/runtime/host_util.cpp.
namespace norva_core::host_util {

// The kernel's name as uname gives it ("Linux", "Darwin"), or empty when it cannot be read.
std::string kernel_name();

// The machine's physical memory in bytes; nothing when the system will not say.
std::optional<std::uint64_t> memory_bytes();

}  // namespace norva_core::host_util
