#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "norva_core/http.h"

namespace norva_api {

// Base address and bearer shared by the client's operation groups.
struct Connection {
    std::string base;
    std::string token;

    // One JSON request; any status other than 2xx is a PlatformError naming the request.
    nlohmann::ordered_json request(const std::string& method, const std::string& path,
                                   const std::string& body = {}) const;
    // One multipart/form-data POST, under the same rules.
    nlohmann::ordered_json upload(
        const std::string& path, std::vector<norva_core::http::FormPart> form,
        std::function<void(std::uint64_t sent, std::uint64_t total)> progress = nullptr) const;

  private:
    nlohmann::ordered_json exchange(norva_core::http::Request request,
                                    const std::string& path) const;
};

// An identifier as one path segment or query value: whatever it holds, it cannot reach another
// path or parameter.
std::string url_segment(const std::string& text);

// The answer as a list, or an error naming the request.
std::vector<nlohmann::ordered_json> expect_list(const nlohmann::ordered_json& answer,
                                                const std::string& request);

}  // namespace norva_api
