#include "connection.h"

#include <cctype>

#include "norva_api/api.h"
#include "norva_core/json_input.h"
#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace norva_api {

using norva_core::settings::Key;

namespace {

// The scheme and host of an address, without the path the API lives under: what the user set.
std::string origin_of(const std::string& url) {
    auto host = url.find("://");
    auto path = url.find('/', host == std::string::npos ? 0 : host + 3);
    return url.substr(0, path);
}

}  // namespace

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

nlohmann::ordered_json Connection::upload(
    const std::string& path, std::vector<norva_core::http::FormPart> form,
    std::function<void(std::uint64_t sent, std::uint64_t total)> progress) const {
    norva_core::http::Request request;
    request.method = "POST";
    request.form = std::move(form);
    request.upload_progress = std::move(progress);
    return exchange(std::move(request), path);
}

nlohmann::ordered_json Connection::exchange(norva_core::http::Request request,
                                            const std::string& path) const {
    request.url = base + path;
    request.headers.emplace_back("Authorization", "Bearer " + token);
    request.headers.emplace_back("Accept", "application/json");
    request.tls = get_ssl_connector();
    auto connect_limit = norva_core::settings::seconds_limit(Key::platform_connect_limit);
    request.connect_timeout = connect_limit;
    // Uploads have no total limit, so a platform that went silent is noticed by this alone.
    request.stall_timeout = norva_core::settings::seconds_limit(Key::platform_stall_limit);
    std::string failed = "Platform request failed: " + request.method + " " + path;
    norva_core::http::Response response;
    try {
        response = norva_core::http::send(request);
    } catch (const norva_core::http::StalledError&) {
        throw PlatformError(failed + ": the platform stopped answering");
    } catch (const norva_core::http::TooLargeError& error) {
        throw PlatformError(failed + ": " + error.what());
    } catch (const norva_core::http::TimeoutError&) {
        throw PlatformError(failed + ": could not connect within " +
                            norva_core::text_forms::seconds_text(connect_limit));
    } catch (const norva_core::http::ClientError& error) {
        throw PlatformError("Could not reach the NORVA platform at " + origin_of(base) + ": " +
                            error.what());
    }
    if (response.status < 200 || response.status > 299) {
        throw PlatformError(failed + " (" + std::to_string(response.status) +
                                "): " + norva_core::text_forms::excerpt(response.body),
                            response.status);
    }
    if (response.body.empty()) {
        return nullptr;
    }
    try {
        return norva_core::json_input::parse(response.body);
    } catch (const norva_core::json_input::InputError& error) {
        throw PlatformError(failed + ": the answer is " + error.what());
    }
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
