#include "connection.h"

#include "norva_api/api.h"

namespace norva_api {

nlohmann::ordered_json Connection::request(const std::string& method, const std::string& path,
                                           const std::string& body) const {
    norva_core::http::Request request;
    request.method = method;
    request.url = base + path;
    request.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
    if (!body.empty()) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = body;
    }
    request.tls = get_ssl_connector();
    auto response = norva_core::http::send(request);
    if (response.status < 200 || response.status > 299) {
        throw PlatformError("Platform request failed: " + method + " " + path + " (" +
                            std::to_string(response.status) + "): " + response.body);
    }
    if (response.body.empty()) {
        return nullptr;
    }
    auto answer = nlohmann::ordered_json::parse(response.body, nullptr, false);
    if (answer.is_discarded()) {
        throw PlatformError("Platform request failed: " + method + " " + path +
                            ": the answer is not valid JSON");
    }
    return answer;
}

}  // namespace norva_api
