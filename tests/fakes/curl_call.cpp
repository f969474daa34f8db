#include "curl_call.h"

#include <gtest/gtest.h>

#include "norva_core/process.h"

namespace norva_test {

CurlAnswer curl_call(int port, const std::string& method, const std::string& path,
                     const std::string& body, const std::vector<std::string>& headers) {
    std::vector<std::string> argv{"curl", "-sS",  "--max-time", "60",
                                  "-X",   method, "-w",         "\n%{http_code}"};
    for (const auto& header : headers) {
        argv.insert(argv.end(), {"-H", header});
    }
    if (!body.empty()) {
        argv.insert(argv.end(), {"-H", "Content-Type: application/json", "-d", body});
    }
    argv.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    auto done = norva_core::process::run(argv);
    EXPECT_EQ(done.exit_code, 0) << done.err;
    auto split = done.out.rfind('\n');
    if (split == std::string::npos) {
        return {};
    }
    return {std::stoi(done.out.substr(split + 1)),
            nlohmann::ordered_json::parse(done.out.substr(0, split), nullptr, false)};
}

}  // namespace norva_test
