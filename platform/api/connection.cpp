#include "connection.h"

#include <cctype>

#include "norva_api/api.h"

namespace norva_api {

nlohmann::ordered_json Connection::request(const std::string& method, const std::string& path,
                                           const std::string& body) const {
    norva_core::http::Request request;
    request.method = method;
    if (!body.empty()) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = body;
    }
    return exchange(std::move(request), path);
}

nlohmann::ordered_json Connection::upload(const std::string& path,
                                          std::vector<norva_core::http::FormPart> form) const {
    norva_core::http::Request request;
    request.method = "POST";
    request.form = std::move(form);
    return exchange(std::move(request), path);
}

nlohmann::ordered_json Connection::exchange(norva_core::http::Request request,
                                            const std::string& path) const {
    request.url = base + path;
    request.headers.emplace_back("Authorization", "Bearer " + token);
    request.headers.emplace_back("Accept", "application/json");
    request.tls = get_ssl_connector();
    auto response = norva_core::http::send(request);
    if (response.status < 200 || response.status > 299) {
        throw PlatformError("Platform request failed: " + request.method + " " + path + " (" +
                            std::to_string(response.status) + "): " + response.body);
    }
    if (response.body.empty()) {
        return nullptr;
    }
    auto answer = nlohmann::ordered_json::parse(response.body, nullptr, false);
    if (answer.is_discarded()) {
        throw PlatformError("Platform request failed: " + request.method + " " + path +
                            ": the answer is not valid JSON");
    }
    return answer;
}

std::string url_segment(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xF];
        }
    }
    return encoded;
}

std::vector<nlohmann::ordered_json> expect_list(const nlohmann::ordered_json& answer,
                                                const std::string& request) {
    if (!answer.is_array()) {
        throw PlatformError("Platform request failed: " + request + ": expected a list");
    }
    return {answer.begin(), answer.end()};
}

}  // namespace norva_api
