#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "compute_fixture.h"

using nlohmann::json;
using nlohmann::ordered_json;
using norva_test::RunResult;
using namespace std::chrono_literals;

using norva_test::keys_of;
using ConnectTest = norva_test::ComputeTest;

namespace {

const std::string flush = "exec -T redis redis-cli FLUSHALL";

}  // namespace

TEST_F(ConnectTest, LocalNodeWithOrganizationIdComesUpAndIsRecorded) {
    sandbox.set_env("NORVA_CLUSTER_ID", "inherited-stale-id");
    auto result = connect({"--organization-id", "org-1"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "Compute node connected and running in the background.\n"
              "  Compute service:  port 8000\n"
              "  SeaweedFS filer:  port 8888\n"
              "\n"
              "No project linked yet — run `norva compute project` before submitting a job with "
              "locally-specified components.\n"
              "Run norva compute disconnect to stop the node and deregister it.\n");

    auto posts = requests_to("POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, "/v1/clusters/local");
    EXPECT_EQ(posts[0].headers["Authorization"], "Bearer node-key");
    auto payload = ordered_json::parse(posts[0].body);
    EXPECT_EQ(keys_of(payload), (std::vector<std::string>{"name", "info", "organization_id"}));
    EXPECT_EQ(payload["name"], "devuser-local");
    EXPECT_EQ(payload["organization_id"], "org-1");
    EXPECT_EQ(keys_of(payload["info"]["cluster"]),
              (std::vector<std::string>{"cpu", "memory", "workers", "sims"}));

    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d", flush}));
    auto calls = sandbox.docker_calls();
    EXPECT_EQ(
        calls[1]["args"][2],
        std::filesystem::path(norva_test::norva_binary()).parent_path().parent_path().string() +
            "/share/norva/compute/docker-compose.yml");
    EXPECT_EQ(calls[1]["env"]["NORVA_CLUSTER_ID"], "c-42");
    EXPECT_EQ(calls[1]["env"]["NORVA_API_KEY"], "node-key");
    EXPECT_EQ(calls[1]["env"]["NORVA_PLATFORM_URL"], platform.url());
    EXPECT_EQ(calls[1]["env"]["NORVA_ENV"], "prod");
    EXPECT_EQ(calls[2]["env"]["NORVA_CLUSTER_ID"],
              "inherited-stale-id");  // only the stack gets the new id

    auto record = saved_record();
    ASSERT_TRUE(record);
    EXPECT_EQ(keys_of(*record),
              (std::vector<std::string>{"cluster_id", "api_key", "managed", "organization_id",
                                        "project_id", "started_at", "ports"}));
    EXPECT_EQ((*record)["cluster_id"], "c-42");
    EXPECT_EQ((*record)["managed"], false);
    EXPECT_EQ((*record)["organization_id"], "org-1");
    EXPECT_TRUE((*record)["project_id"].is_null());
    EXPECT_EQ((*record)["ports"].dump(), R"({"compute service":8000,"SeaweedFS filer":8888})");
    EXPECT_TRUE(std::regex_match((*record)["started_at"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00)")));
    struct stat info {};
    stat((sandbox.norva_home() + "/compute/node.json").c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600);
}

TEST_F(ConnectTest, LocalNodeThroughTheOrganizationMenu) {
    platform.on("GET", "/v1/organizations",
                {200, R"([{"uuid":"u-1","name":"One"},{"uuid":"u-2","name":"Two"}])"});
    auto result = connect({"--organization-id", "", "--name", "box1"}, "2\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(
        result.err.find("Select an Organization:\n  1) One (uuid: u-1)\n  2) Two (uuid: u-2)"),
        std::string::npos);
    EXPECT_EQ(requests_to("GET").at(0).headers["Authorization"], "Bearer user-token");
    auto payload = registration_payload();
    EXPECT_EQ(payload["organization_id"], "u-2");
    EXPECT_EQ(payload["name"], "box1");
}

TEST_F(ConnectTest, CancelledOrganizationMenuIsAnUnhandledErrorAndRegistersNothing) {
    platform.on("GET", "/v1/organizations", {200, R"([{"uuid":"u-1","name":"One"}])"});
    auto result = connect({}, "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Error: Organization ID not found"), std::string::npos);
    EXPECT_TRUE(requests_to("POST").empty());
}

TEST_F(ConnectTest, BareManagedIsAvailableToAllOrganizations) {
    auto result = connect({"--managed", "--organization-id", "ignored"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(
        result.out.find(
            "Registered as the platform managed cluster — it is available to all organizations."),
        std::string::npos);
    auto posts = requests_to("POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, "/v1/clusters/managed");
    EXPECT_EQ(posts[0].headers["Authorization"], "Bearer user-token");
    auto payload = ordered_json::parse(posts[0].body);
    EXPECT_EQ(keys_of(payload), (std::vector<std::string>{"name", "info"}));
    EXPECT_EQ(payload["name"], "devuser-managed");
    auto record = saved_record();
    EXPECT_EQ((*record)["managed"], true);
    EXPECT_TRUE((*record)["organization_id"].is_null());
}

TEST_F(ConnectTest, ManagedWithAGrantsFile) {
    norva_test::write_file(sandbox.dir() / "grants.csv", "org-a\n org-b \n\n,x\n");
    auto result = connect({"--managed", "grants.csv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(
        result.out.find(
            "Registered as the platform managed cluster — access granted to 2 organization(s)."),
        std::string::npos);
    auto payload = registration_payload();
    EXPECT_EQ(keys_of(payload),
              (std::vector<std::string>{"name", "info", "grant_organization_ids"}));
    EXPECT_EQ(payload["grant_organization_ids"], json({"org-a", "org-b"}));
}

TEST_F(ConnectTest, MissingGrantsFileShowsTheExpandedPath) {
    auto result = connect({"--managed", "~/g.csv"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "--managed: grants CSV file not found: " + sandbox.home() + "/g.csv\n");
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(ConnectTest, GrantsFileThatIsADirectoryRegistersNothing) {
    std::filesystem::create_directories(sandbox.dir() / "grants-dir");
    auto result = connect({"--managed", "grants-dir"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("grants-dir"), std::string::npos);
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(ConnectTest, EarlierManagedRecordIsReusedAsAStableIdentity) {
    save_record({{"cluster_id", "c1"}, {"api_key", "k"}, {"managed", true}});
    auto result = connect({"--managed"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find("Compute node")),
              "Previous state exists but no compute service is running. Continuing.\n"
              "Reusing existing managed cluster c1 (stable identity)\n");
    EXPECT_EQ(registration_payload()["cluster_id"], "c1");
}

TEST_F(ConnectTest, EarlierLocalRecordIsNotReused) {
    save_record({{"cluster_id", "c1"}, {"managed", false}});
    ASSERT_EQ(connect({"--managed"}).status, 0);
    EXPECT_FALSE(registration_payload().contains("cluster_id"));
}

TEST_F(ConnectTest, AlreadyConnectedWhileTheComputeServiceAnswers) {
    save_record({{"cluster_id", "c1"}});
    norva_test::FakeComputeService running;
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Already connected — compute node is already running\n");
    EXPECT_TRUE(sandbox.docker_calls().empty());
    EXPECT_EQ((*saved_record())["cluster_id"], "c1");
}

TEST_F(ConnectTest, DockerNotAnswering) {
    sandbox.docker_scenario(
        {{"rules", {{{"args_prefix", {"info"}}, {"status", 1}, {"stdout", "noise"}}}}});
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Docker daemon is not running. Please start Docker and try again.\n");
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(ConnectTest, BothPortsTakenAreReportedTogether) {
    norva_test::FakeComputeService compute;
    norva_test::FakeHttpServer filer(8888);
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              "Port conflict — the following ports are already in use:\n"
              "  port 8000 (compute service)\n"
              "  port 8888 (SeaweedFS filer)\n");
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(ConnectTest, MissingNodeCredentialIsReportedBeforeAnyOrganizationIsPicked) {
    sandbox.unset_env("NORVA_API_KEY");
    auto result = connect({});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("NORVA_API_KEY"), std::string::npos);
    EXPECT_TRUE(platform.requests().empty());
}

TEST_F(ConnectTest, RegistrationRefusedOrWithoutAnId) {
    platform.on("POST", "/v1/clusters/local", {409, "exists"});
    auto refused = connect({"--organization-id", "o"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "Registration failed (409): exists\n");
    platform.on("POST", "/v1/clusters/local", {201, R"({"cluster":"x"})"});
    auto no_id = connect({"--organization-id", "o"});
    EXPECT_EQ(no_id.status, 1);
    EXPECT_EQ(no_id.out, "Response is missing cluster id\n");
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "info"}));
    EXPECT_TRUE(requests_to("DELETE").empty());
    EXPECT_FALSE(saved_record());
}

TEST_F(ConnectTest, UntrustedPlatformIsUnreachable) {
    sandbox.unset_env("NORVA_CA_BUNDLE");
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("Could not reach NORVA platform: ", 0), 0u) << result.out;
}

TEST_F(ConnectTest, RegistrationNotAnsweredWithinItsLimit) {
    sandbox.set_env("NORVA_REGISTRATION_LIMIT", "1");
    platform.on("POST", "/v1/clusters/local", {201, R"({"id":"late"})", 4s});
    auto started = std::chrono::steady_clock::now();
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Could not reach NORVA platform: request timed out\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

TEST_F(ConnectTest, FailedStackStartDeregistersAndLeavesNothingBehind) {
    sandbox.docker_scenario(
        {{"rules",
          {{{"args_contain", {"up"}}, {"status", 1}, {"stderr", "port is already allocated"}}}}});
    platform.on("DELETE", "/v1/clusters/c-42", {404, "gone"});
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              "Failed to start compute stack:\nport is already allocated\n"
              "Error during setup — deregistering cluster and shutting down compute stack\n"
              "Deregistration failed (404): gone\n");
    auto deletes = requests_to("DELETE");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].path, "/v1/clusters/c-42");
    EXPECT_EQ(deletes[0].headers["Authorization"], "Bearer node-key");
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d"}));
    EXPECT_FALSE(saved_record());
}

TEST_F(ConnectTest, RedisAnsweringOnTheThirdFlushAttempt) {
    sandbox.docker_scenario(
        {{"rules",
          {{{"args_contain", {"FLUSHALL"}}, {"times", 2}, {"status", 1}, {"stderr", "loading"}}}}});
    auto result = connect({"--organization-id", "o"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d", flush, flush, flush}));
    EXPECT_EQ(result.out.find("Warning"), std::string::npos);
    EXPECT_EQ(result.out.find("loading"), std::string::npos);
}

TEST_F(ConnectTest, InterruptWhileTheStackStartsCleansUpAndPassesTheInterruptOn) {
    sandbox.docker_scenario({{"rules", {{{"args_contain", {"up"}}, {"delay_ms", 20000}}}}});
    auto child = sandbox.spawn({"compute", "connect", "--organization-id", "o"});
    ASSERT_TRUE(norva_test::eventually([&] { return docker_commands().size() >= 2; }));
    ASSERT_EQ(docker_commands().size(), 2u);
    kill(child.pid(), SIGINT);
    auto result = norva_test::NorvaSandbox::finish(child);
    EXPECT_EQ(result.status, 130);
    EXPECT_NE(result.err.find("Aborted."), std::string::npos);
    EXPECT_NE(result.out.find(
                  "Error during setup — deregistering cluster and shutting down compute stack"),
              std::string::npos);
    EXPECT_EQ(requests_to("DELETE").size(), 1u);
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d", "down"}));
    EXPECT_FALSE(saved_record());
}

TEST_F(ConnectTest, DamagedRecordIsReportedAndKept) {
    norva_test::write_file(sandbox.norva_home() + "/compute/node.json", "{oops");
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(sandbox.norva_home() + "/compute/node.json"), std::string::npos);
    EXPECT_EQ(norva_test::read_file(sandbox.norva_home() + "/compute/node.json"), "{oops");
}
