#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace norva_api {

// Base address and bearer shared by the client's operation groups.
struct Connection {
    std::string base;
    std::string token;

    // One JSON request; any status other than 2xx is a PlatformError naming the request.
    nlohmann::ordered_json request(const std::string& method, const std::string& path,
                                   const std::string& body = {}) const;
};

}  // namespace norva_api
