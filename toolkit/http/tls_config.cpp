#include "norva_core/http.h"
#include "norva_core/settings.h"

namespace norva_core::http {

TlsConfig default_tls() {
    TlsConfig config;
    if (auto bundle = settings::value(settings::Key::ca_bundle)) {
        config.ca_bundle = *bundle;
    }
    return config;
}

}  // namespace norva_core::http
