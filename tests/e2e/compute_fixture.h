#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fake_http_server.h"
#include "norva_runner.h"
#include "polling.h"
#include "test_ca.h"

namespace norva_test {

using nlohmann::json;
using nlohmann::ordered_json;
using namespace std::chrono_literals;

inline const TestCa& test_ca() {
    static const TestCa ca;
    return ca;
}

inline std::vector<std::string> keys_of(const ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.push_back(key);
    }
    return keys;
}

// A sandbox against the fake platform (with the test CA), the fake docker and the credentials a
// compute node needs; the platform registers clusters and accepts their deregistration.
class ComputeTest : public testing::Test {
  protected:
    ComputeTest() : platform(test_ca()) {
        sandbox.set_env("NORVA_API_URL", platform.url());
        sandbox.set_env("NORVA_CA_BUNDLE", test_ca().ca_file());
        sandbox.set_env("NORVA_API_KEY", "node-key");
        sandbox.set_env("NORVA_TOKEN", "user-token");
        sandbox.add_program("nvidia-smi", "exit 127");
        platform.on("POST", "/v1/clusters/local", {201, R"({"id":"c-42"})"});
        platform.on("POST", "/v1/clusters/managed", {201, R"({"id":"m-7"})"});
        platform.on("DELETE", "/v1/clusters/c-42", {204, ""});
    }

    RunResult connect(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"compute", "connect"});
        return sandbox.run(args, input);
    }

    std::vector<norva_test::RecordedRequest> requests_to(const std::string& method) const {
        std::vector<norva_test::RecordedRequest> found;
        for (const auto& request : platform.requests()) {
            if (request.method == method) {
                found.push_back(request);
            }
        }
        return found;
    }

    ordered_json registration_payload() const {
        auto posts = requests_to("POST");
        EXPECT_EQ(posts.size(), 1u);
        return posts.empty() ? ordered_json() : ordered_json::parse(posts[0].body);
    }

    // The docker calls, each as its arguments after "compose -f <file>" (or whole, for others).
    std::vector<std::string> docker_commands() const {
        std::vector<std::string> commands;
        for (const auto& call : sandbox.docker_calls()) {
            std::string text;
            auto args = call["args"].get<std::vector<std::string>>();
            std::size_t from = args.size() > 3 && args[0] == "compose" && args[1] == "-f" ? 3 : 0;
            for (std::size_t i = from; i < args.size(); ++i) {
                text += (text.empty() ? "" : " ") + args[i];
            }
            commands.push_back(text);
        }
        return commands;
    }

    std::optional<ordered_json> saved_record() const {
        std::string text = norva_test::read_file(sandbox.norva_home() + "/compute/node.json");
        if (text.empty()) {
            return std::nullopt;
        }
        return ordered_json::parse(text);
    }

    void save_record(const ordered_json& record) const {
        norva_test::write_file(sandbox.norva_home() + "/compute/node.json", record.dump());
    }

    norva_test::NorvaSandbox sandbox;
    norva_test::FakePlatform platform;
};

}  // namespace norva_test
