#pragma once

#include <string>

// Implemented in toolkit/runtime/settings.cpp.
namespace norva_core::settings {

// Platform base address without "/v1": NORVA_API_URL, default "https://api.norva.dev".
std::string URL_API();

// Environment name: NORVA_ENV, default "prod".
std::string NORVA_ENV();

}  // namespace norva_core::settings
