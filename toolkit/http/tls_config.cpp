#include <cstdlib>

#include "norva_core/http.h"

namespace norva_core::http {

TlsConfig default_tls() {
    TlsConfig config;
    if (const char* bundle = std::getenv("NORVA_CA_BUNDLE"); bundle != nullptr && *bundle != '\0') {
        config.ca_bundle = bundle;
    }
    return config;
}

}  // namespace norva_core::http
