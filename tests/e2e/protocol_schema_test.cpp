// The JSON Schemas of the worker protocol, shipped beside docs/protocol.md, checked against what
// really passes between norva and two simulators: the template `sim new` writes, and the test
// simulator. Either drifting from the schemas fails here.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>

#include "norva_core/process.h"
#include "norva_runner.h"
#include "test_sims.h"

namespace {

using Json = nlohmann::ordered_json;

const std::string SCHEMAS = std::string(SHARE_DIR) + "/schemas";

class ProtocolSchemaTest : public ::testing::Test {
  protected:
    // Every line between norva and the folder's simulator goes to a log under `logs`.
    std::string recorded(const std::string& folder, const std::string& logs) const {
        std::filesystem::create_directories(logs);
        auto manifest = folder + "/norva-sim.toml";
        std::ifstream in(manifest);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        static const std::regex command(R"(command = \[)");
        text = std::regex_replace(text, command,
                                  "command = [\"/usr/bin/python3\", \"" TEST_CLIENTS_DIR
                                  "/record_traffic.py\", \"" +
                                      logs + "\", ");
        norva_test::write_file(manifest, text);
        return folder;
    }

    Json checked(const std::string& logs) const {
        std::vector<std::string> argv{"/usr/bin/python3", TEST_CLIENTS_DIR "/check_traffic.py",
                                      SCHEMAS};
        for (const auto& entry : std::filesystem::directory_iterator(logs)) {
            argv.push_back(entry.path().string());
        }
        auto done = norva_core::process::run(argv);
        EXPECT_EQ(done.exit_code, 0) << done.err;
        return Json::parse(done.out);
    }

    norva_test::NorvaSandbox sandbox;
};

// Each also with four environments a process, which validation speaks to in the batched form.
TEST_F(ProtocolSchemaTest, TheTemplatesAndTheTestSimulatorsTrafficKeepsToTheSchemas) {
    ASSERT_EQ(sandbox.run({"sim", "new", "-n", "thermo", "-d", "t", "-l", "."}).status, 0);
    ASSERT_EQ(sandbox.run({"sim", "new", "-n", "batched", "-d", "t", "-l", "."}).status, 0);
    std::ofstream(sandbox.dir() / "batched/norva-sim.toml", std::ios::app) << "instances = 4\n";
    struct Traffic {
        std::string folder;
        std::string logs;
        bool batched;
    };
    std::vector<Traffic> traffic;
    auto add = [&](const std::string& folder, const std::string& name, bool batched) {
        auto logs = sandbox.dir() / name;
        traffic.push_back({recorded(folder, logs), logs, batched});
    };
    add(sandbox.dir() / "thermo", "template-traffic", false);
    add(sandbox.dir() / "batched", "batched-template-traffic", true);
    add(norva_test::write_test_sim(sandbox.dir().path(), "good").string(), "test-sim-traffic",
        false);
    add(norva_test::write_batched_test_sim(sandbox.dir().path(), "good", 4).string(),
        "batched-test-sim-traffic", true);

    for (const auto& [folder, logs, batched] : traffic) {
        SCOPED_TRACE(folder);
        auto validated = sandbox.run({"sim", "validate", folder});
        EXPECT_EQ(validated.status, 0) << validated.out << validated.err;
        auto seen = checked(logs);
        EXPECT_EQ(seen["faults"], Json::array()) << seen.dump(2);
        // Validation's simulators spoke every request and answered each.
        EXPECT_GT(seen["requests"].get<int>(), 50);
        EXPECT_EQ(seen["answers"], seen["requests"]);
        for (const char* op : {"make", "sensor_space", "action_space", "reset", "step", "close"}) {
            EXPECT_GT(seen["results"].value(op, 0), 0) << "no result of " << op << " was checked";
        }
        for (const char* op : {"batched reset", "batched step"}) {
            EXPECT_EQ(seen["results"].value(op, 0) > 0, batched) << op;
        }
    }
}

TEST_F(ProtocolSchemaTest, TheSchemasRefuseWhatNoSimulatorMaySay) {
    auto log = sandbox.dir() / "wrong.log";
    norva_test::write_file(
        log,
        "> {\"id\": 1, \"op\": \"make\", \"env_id\": \"e\", \"env_init\": {}}\n"
        "< {\"id\": 1, \"result\": {}}\n"
        "> {\"id\": 2, \"op\": \"action_space\"}\n"
        "< {\"id\": 2, \"result\": {\"type\": \"Box\", \"low\": 0, \"high\": 1, \"shape\": [1]}}\n"
        "> {\"id\": 3, \"op\": \"reset\", \"seed\": -1}\n"
        "< {\"id\": 3, \"result\": {\"info\": {}}}\n"
        "> {\"id\": 4, \"op\": \"step\", \"action\": 1}\n"
        "< {\"id\": 4, \"result\": {\"observation\": 1, \"reward\": \"1\", \"terminated\": false, "
        "\"truncated\": false}}\n"
        "> {\"id\": 5, \"op\": \"jump\"}\n"
        "< {\"id\": 5}\n");
    auto done = norva_core::process::run(
        {"/usr/bin/python3", TEST_CLIENTS_DIR "/check_traffic.py", SCHEMAS, log});
    ASSERT_EQ(done.exit_code, 0) << done.err;
    auto faults = Json::parse(done.out)["faults"];
    std::vector<int> lines;
    for (const auto& fault : faults) {
        auto text = fault.get<std::string>();
        auto colon = text.find(':');
        lines.push_back(std::stoi(text.substr(colon + 1)));
    }
    // "Box", a negative seed, a reset without an observation, a textual reward, an unknown op
    // and an answer with neither result nor error.
    for (int line : {4, 5, 6, 8, 9, 10}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
            << "line " << line << " passed: " << faults.dump(2);
    }
    EXPECT_EQ(std::find(lines.begin(), lines.end(), 2), lines.end()) << faults.dump(2);
}

}  // namespace
