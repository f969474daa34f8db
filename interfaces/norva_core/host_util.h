#pragma once

#include <string>

// What the operating system says about this machine. Implemented in toolkit/runtime/host_util.cpp.
namespace norva_core::host_util {

// The kernel's name as uname gives it ("Linux", "Darwin"), or empty when it cannot be read.
std::string kernel_name();

}  // namespace norva_core::host_util
