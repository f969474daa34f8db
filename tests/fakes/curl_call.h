#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace norva_test {

struct CurlAnswer {
    // 0 when curl got no answer.
    int status = 0;
    // The body as JSON; discarded when it is not.
    nlohmann::ordered_json body;
};

// One request to 127.0.0.1:port as curl sends it, with a JSON body written as given (so that it
// may be JSON no encoder would write) and more headers. A curl that fails is a test failure.
CurlAnswer curl_call(int port, const std::string& method, const std::string& path,
                     const std::string& body = "", const std::vector<std::string>& headers = {});

}  // namespace norva_test
