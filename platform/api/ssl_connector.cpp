#include "norva_api/api.h"

namespace norva_api {

norva_core::http::TlsConfig get_ssl_connector() {
    return norva_core::http::default_tls();
}

}  // namespace norva_api
