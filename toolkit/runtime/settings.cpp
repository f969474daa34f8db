#include "norva_core/settings.h"

#include <cstdlib>

namespace norva_core::settings {
namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string URL_API() {
    return env_or("NORVA_API_URL", "https://api.norva.dev");
}

std::string NORVA_ENV() {
    return env_or("NORVA_ENV", "prod");
}

}  // namespace norva_core::settings
