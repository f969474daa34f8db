#include <gtest/gtest.h>

#include <optional>

#include "compute_fixture.h"

using norva_test::json;
using norva_test::ordered_json;
using namespace std::chrono_literals;

namespace {

class LifecycleTest : public norva_test::ComputeTest {
  protected:
    LifecycleTest() {
        platform.on("GET", "/v1/organizations/org-1/projects",
                    {200, R"([{"id":"p-1","name":"Demo"},{"id":"p-2","name":"Demo"}])"});
    }

    norva_test::RunResult compute(const std::string& command, const std::string& input = {}) {
        return sandbox.run({"compute", command}, input);
    }

    ordered_json connected_record() const {
        return {{"cluster_id", "c-42"},
                {"api_key", "recorded-key"},
                {"managed", false},
                {"organization_id", "org-1"},
                {"project_id", nullptr},
                {"started_at", "2026-12-07T06:43:33+00:00"},
                {"ports", {{"compute service", 8000}, {"SeaweedFS filer", 8888}}}};
    }

    std::vector<std::string> request_lines() const {
        std::vector<std::string> lines;
        for (const auto& request : platform.requests()) {
            lines.push_back(request.method + " " + request.path);
        }
        return lines;
    }

    std::string record_text() const {
        return norva_test::read_file(sandbox.norva_home() + "/compute/node.json");
    }
};

const std::string stopped_and_deregistered = "Compute node stopped and deregistered.\n";
const std::string stopped_not_deregistered =
    "Compute node stopped. Platform deregistration failed — the cluster may still appear online.\n";

}  // namespace

TEST_F(LifecycleTest, ConnectProjectDisconnectInOrder) {
    ASSERT_EQ(sandbox.run({"compute", "connect", "--organization-id", "org-1"}).status, 0);

    auto linked = compute("project", "2\n");
    ASSERT_EQ(linked.status, 0) << linked.err;
    EXPECT_NE(linked.err.find("Select a Project:\n  1) Demo (uuid: p-1)\n  2) Demo (uuid: p-2)"),
              std::string::npos);
    EXPECT_EQ(linked.out, "Project linked: Demo\n");
    auto record = *saved_record();
    EXPECT_EQ(record["project_id"], "p-2");
    EXPECT_EQ(norva_test::keys_of(record),
              (std::vector<std::string>{"cluster_id", "api_key", "managed", "organization_id",
                                        "project_id", "started_at", "ports"}));

    norva_test::FakeComputeService compute_service;
    compute_service.on("POST", "/jobs/shutdown", {200, "{}"});
    auto stopped = compute("disconnect");
    ASSERT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, stopped_and_deregistered);
    EXPECT_EQ(compute_service.requests().size(), 1u);
    EXPECT_EQ(request_lines(), (std::vector<std::string>{"POST /v1/clusters/local",
                                                         "GET /v1/organizations/org-1/projects",
                                                         "DELETE /v1/clusters/c-42"}));
    EXPECT_EQ(platform.requests().back().headers.at("Authorization"), "Bearer node-key");
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{
                                     "info", "up -d", "exec -T redis redis-cli FLUSHALL", "down"}));
    EXPECT_FALSE(saved_record());

    auto again = compute("disconnect");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "No compute node is connected. Nothing to disconnect.\n");
}

TEST_F(LifecycleTest, DeregistrationAnswers) {
    for (auto [status, message] : std::vector<std::pair<int, std::string>>{
             {200, stopped_and_deregistered},
             {204, stopped_and_deregistered},
             {404, "Deregistration failed (404): unknown cluster\n" + stopped_not_deregistered}}) {
        save_record(connected_record());
        platform.on("DELETE", "/v1/clusters/c-42",
                    {status, status == 404 ? "unknown cluster" : ""});
        auto result = compute("disconnect");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, message);
        EXPECT_EQ(platform.requests().back().headers.at("Authorization"), "Bearer recorded-key");
        EXPECT_FALSE(saved_record());
    }
}

TEST_F(LifecycleTest, UnreachablePlatformStillTakesTheNodeDown) {
    save_record(connected_record());
    sandbox.set_env("NORVA_API_URL", "https://127.0.0.1:1");
    auto result = compute("disconnect");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("Could not reach NORVA platform to deregister: ", 0), 0u)
        << result.out;
    EXPECT_NE(result.out.find(stopped_not_deregistered), std::string::npos);
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"down"}));
    EXPECT_FALSE(saved_record());
}

TEST_F(LifecycleTest, DeregistrationTimeOutSaysTimedOut) {
    save_record(connected_record());
    sandbox.set_env("NORVA_REGISTRATION_LIMIT", "1");
    platform.on("DELETE", "/v1/clusters/c-42", {204, "", 3s});
    auto result = compute("disconnect");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Could not reach NORVA platform to deregister: timed out\n" +
                              stopped_not_deregistered);
}

TEST_F(LifecycleTest, FailingDownKeepsTheClusterAndTheRecordForAnotherTry) {
    save_record(connected_record());
    std::string before = record_text();
    sandbox.docker_scenario({{"rules",
                              {{{"args_contain", {"down"}},
                                {"times", 1},
                                {"status", 1},
                                {"stderr", "network in use"}}}}});
    auto failed = compute("disconnect");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "Failed to stop compute stack:\nnetwork in use\n");
    EXPECT_TRUE(platform.requests().empty());
    EXPECT_EQ(record_text(), before);
    auto retried = compute("disconnect");
    EXPECT_EQ(retried.status, 0);
    EXPECT_EQ(retried.out, stopped_and_deregistered);
}

TEST_F(LifecycleTest, JobShutdownReplies) {
    save_record(connected_record());
    {
        norva_test::FakeComputeService compute_service;
        compute_service.on("POST", "/jobs/shutdown", {500, "jobs stuck"});
        auto result = compute("disconnect");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "Failed to shut down active jobs cleanly (500): jobs stuck\n" +
                                  stopped_and_deregistered);
    }
    save_record(connected_record());
    {
        norva_test::FakeComputeService compute_service;
        compute_service.on("POST", "/jobs/shutdown", {204, ""});
        EXPECT_EQ(compute("disconnect").out,
                  "Failed to shut down active jobs cleanly (204): \n" + stopped_and_deregistered);
    }
}

TEST_F(LifecycleTest, SlowJobShutdownIsWaitedForBeforeTheStackGoesDown) {
    save_record(connected_record());
    norva_test::FakeComputeService compute_service;
    // Longer than every limit in play: the shutdown has none of its own.
    sandbox.set_env("NORVA_COMPUTE_CONNECT_LIMIT", "0.5");
    sandbox.set_env("NORVA_REGISTRATION_LIMIT", "0.5");
    compute_service.on("POST", "/jobs/shutdown", {200, "{}", 2s});
    auto started = std::chrono::steady_clock::now();
    auto result = compute("disconnect");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, stopped_and_deregistered);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(LifecycleTest, HandEditedRecordWithoutClusterIdStillComesDown) {
    auto record = connected_record();
    record.erase("cluster_id");
    save_record(record);
    auto result = compute("disconnect");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Cannot deregister: the node state has no \"cluster_id\".\n" +
                              stopped_not_deregistered);
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"down"}));
    EXPECT_TRUE(platform.requests().empty());
    EXPECT_FALSE(saved_record());
}

TEST_F(LifecycleTest, RecordWithoutCredentialUsesTheConfiguredOne) {
    auto record = connected_record();
    record.erase("api_key");
    save_record(record);
    EXPECT_EQ(compute("disconnect").out, stopped_and_deregistered);
    EXPECT_EQ(platform.requests().back().headers.at("Authorization"), "Bearer node-key");
}

TEST_F(LifecycleTest, ProjectChecksTheRecord) {
    auto not_connected = compute("project");
    EXPECT_EQ(not_connected.status, 1);
    EXPECT_EQ(not_connected.out,
              "No compute node is connected. Run `norva compute connect` first.\n");
    auto record = connected_record();
    record["cluster_id"] = "";
    save_record(record);
    EXPECT_EQ(compute("project").out,
              "No compute node is connected. Run `norva compute connect` first.\n");
    record = connected_record();
    record.erase("organization_id");
    save_record(record);
    auto no_organization = compute("project");
    EXPECT_EQ(no_organization.status, 1);
    EXPECT_EQ(no_organization.out,
              "No organization is linked. Run `norva compute connect` again to select one.\n");
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(LifecycleTest, ProjectWithNothingToChooseOrCancelledKeepsTheRecord) {
    auto record = connected_record();
    record["project_id"] = "p-old";
    save_record(record);
    std::string before = record_text();
    auto cancelled = compute("project", "\n");
    EXPECT_EQ(cancelled.status, 1);
    EXPECT_EQ(cancelled.out, "No project selected.\n");
    platform.on("GET", "/v1/organizations/org-1/projects", {200, "[]"});
    auto empty = compute("project");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "No projects found for this organization.\n");
    platform.on("GET", "/v1/organizations/org-1/projects", {503, "maintenance"});
    auto refused = compute("project");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(
                  "Platform request failed: GET /organizations/org-1/projects (503): maintenance"),
              std::string::npos);
    EXPECT_EQ(record_text(), before);
}

TEST_F(LifecycleTest, ChoosingAgainReplacesOnlyTheProject) {
    auto record = connected_record();
    record["project_id"] = "p-1";
    record["note"] = "kept";
    save_record(record);
    ASSERT_EQ(compute("project", "2\n").status, 0);
    auto saved = *saved_record();
    record["project_id"] = "p-2";
    EXPECT_EQ(saved.dump(), record.dump());
}
