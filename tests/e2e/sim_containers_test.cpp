#include <gtest/gtest.h>

#include "norva_runner.h"

namespace {

using Json = nlohmann::json;
using norva_test::NorvaSandbox;

Json container(const char* name, const char* port, Json env) {
    Json described = {
        {"Id", std::string("id-") + name},
        {"Config",
         {{"Image", std::string("norva/") + name},
          {"Env", env},
          {"Labels", {{"ai.norva.sim", ""}}}}},
        {"State", {{"Status", "running"}}},
        {"NetworkSettings",
         {{"Ports", {{"1337/tcp", {{{"HostIp", "127.0.0.1"}, {"HostPort", port}}}}}}}}};
    if (name[0] != '\0') {
        described["Name"] = std::string("/") + name;
    }
    return described;
}

Json rule(std::vector<std::string> prefix, const std::string& out, int status = 0,
          const std::string& err = "") {
    return {{"args_prefix", prefix}, {"stdout", out}, {"status", status}, {"stderr", err}};
}

std::vector<std::vector<std::string>> calls(const NorvaSandbox& sandbox) {
    std::vector<std::vector<std::string>> args;
    for (const auto& call : sandbox.docker_calls()) {
        args.push_back(call.at("args").get<std::vector<std::string>>());
    }
    return args;
}

TEST(SimContainers, StartRunsTheSimImageAndSaysWhere) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario(
        {{"rules",
          {rule({"run"}, "abc123\n"),
           rule({"inspect"}, Json::array({container("cart", "49153", {"A=1"})}).dump())}}});
    auto result = sandbox.run({"sim", "start", "cart"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Started sim cart from image norva/cart at localhost:49153\ncart\n");
    auto made = calls(sandbox);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0],
              (std::vector<std::string>{"run", "--detach", "--name", "cart", "--label",
                                        "ai.norva.sim", "--env", "IS_HISTORIAN_ENABLED=1",
                                        "--publish", "127.0.0.1::1337/tcp", "norva/cart"}));

    NorvaSandbox quiet;
    quiet.docker_scenario({{"rules", {rule({"run"}, "abc123\n")}}});
    auto named = quiet.run({"sim", "start", "cart", "--show-name", "--no-enable-historian"});
    EXPECT_EQ(named.out, "cart\n");
    EXPECT_EQ(calls(quiet).size(), 1u);
    EXPECT_EQ(calls(quiet)[0][7], "IS_HISTORIAN_ENABLED=0");
}

TEST(SimContainers, LogsAreShownOrFollowed) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario({{"rules", {rule({"logs"}, "line one\n"), rule({"run"}, "id\n")}}});
    auto shown = sandbox.run({"sim", "logs", "cart"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "line one\n");
    auto followed = sandbox.run({"sim", "start", "cart", "--stream", "--show-name"});
    EXPECT_EQ(followed.out, "line one\n");
    auto made = calls(sandbox);
    ASSERT_EQ(made.size(), 3u);
    EXPECT_EQ(made[0], (std::vector<std::string>{"logs", "cart"}));
    EXPECT_EQ(made[2], (std::vector<std::string>{"logs", "--follow", "cart"}));
}

TEST(SimContainers, DockerFailuresReachTheUserInDockersWords) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario(
        {{"rules", {rule({"run"}, "", 125, "docker: Error response from daemon: Conflict.\n")}}});
    auto result = sandbox.run({"sim", "start", "cart"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Error: docker run failed: docker: Error response from daemon: "
              "Conflict.\n");
}

TEST(SimContainers, StopOfAllSkipsNamelessRecordsAndCountsTheRest) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario(
        {{"rules",
          {rule({"ps"}, "a\nb\nc\n"),
           rule({"inspect"}, Json::array({container("one", "1", {}), container("", "2", {}),
                                          container("three", "3", {})})
                                 .dump())}}});
    auto result = sandbox.run({"sim", "stop"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> logged;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        logged.push_back(line.substr(line.find("] ") + 2));
    }
    EXPECT_EQ(logged, (std::vector<std::string>{"Getting all sims to stop", "[1/3] stopping one",
                                                "[2/3] stopping three", "Stopped all sims"}));
    auto made = calls(sandbox);
    ASSERT_EQ(made.size(), 6u);
    EXPECT_EQ(made[2], (std::vector<std::string>{"stop", "one"}));
    EXPECT_EQ(made[3], (std::vector<std::string>{"rm", "one"}));
    EXPECT_EQ(made[4], (std::vector<std::string>{"stop", "three"}));

    NorvaSandbox single;
    auto one = single.run({"sim", "stop", "--sim-id", "cart"});
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(calls(single),
              (std::vector<std::vector<std::string>>{{"stop", "cart"}, {"rm", "cart"}}));
}

TEST(SimContainers, StatusTableShowsEveryRunningSim) {
    NorvaSandbox sandbox;
    Json listed = Json::array({container("one", "40001", {"IS_HISTORIAN_ENABLED=10"}),
                               container("two", "40002", {"IS_HISTORIAN_ENABLED=0"})});
    sandbox.docker_scenario({{"rules",
                              {rule({"ps"}, "a\nb\n"), rule({"inspect", "a", "b"}, listed.dump()),
                               rule({"inspect", "one"}, Json::array({listed[0]}).dump()),
                               rule({"inspect", "two"}, Json::array({listed[1]}).dump())}}});
    auto result = sandbox.run({"sim", "status"});
    EXPECT_EQ(result.status, 0) << result.err;
    for (const char* expected : {"Name", "Historian Enabled", "Version", "one", "norva/one",
                                 "localhost:40001", "127.0.0.1:40001->1337/tcp", "True", "False"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    EXPECT_LT(result.out.find("True"), result.out.find("False"));

    auto moniker = sandbox.run({"sim", "status", "--sim-name", "two", "--moniker"});
    EXPECT_EQ(moniker.out, "localhost:40002\n");
    auto whole = sandbox.run({"sim", "status", "--sim-name", "two"});
    EXPECT_EQ(Json::parse(whole.out).at("image"), "norva/two");
}

TEST(SimContainers, StatusTableFailuresAreLoggedAndTheCommandSucceeds) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario({{"rules", {rule({"ps"}, "a\n"), rule({"inspect"}, "{not json")}}});
    auto result = sandbox.run({"sim", "status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Error (DockerError): Docker gave a container description that is not JSON\n");

    NorvaSandbox portless;
    Json bare = container("one", "1", {});
    bare["NetworkSettings"]["Ports"] = Json::object();
    portless.docker_scenario({{"rules", {rule({"inspect"}, Json::array({bare}).dump())}}});
    auto named = portless.run({"sim", "status", "--sim-name", "one"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.err, "Error: The container one publishes no port for 1337/tcp\n");
}

TEST(SimContainers, StatusAsJsonGivesTheRowsAndEndsWithAFailure) {
    NorvaSandbox sandbox;
    Json listed = Json::array({container("one", "40001", {"IS_HISTORIAN_ENABLED=1"})});
    sandbox.docker_scenario({{"rules",
                              {rule({"ps"}, "a\n"), rule({"inspect", "a"}, listed.dump()),
                               rule({"inspect", "one"}, listed.dump())}}});
    auto result = sandbox.run({"sim", "status", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    auto rows = Json::parse(result.out);
    ASSERT_EQ(rows.size(), 1u) << result.out;
    EXPECT_EQ(rows[0], (Json{{"name", "one"},
                             {"image", "norva/one"},
                             {"address", "localhost:40001"},
                             {"ports", "127.0.0.1:40001->1337/tcp"},
                             {"historian_enabled", true},
                             {"version", ""}}));
    auto moniker = sandbox.run({"sim", "status", "--sim-name", "one", "--moniker", "--json"});
    EXPECT_EQ(Json::parse(moniker.out), (Json{{"moniker", "localhost:40001"}}));

    // A script must see a failure, which the table only logs.
    NorvaSandbox failing;
    failing.docker_scenario({{"rules", {rule({"ps"}, "a\n"), rule({"inspect"}, "{not json")}}});
    auto failed = failing.run({"sim", "status", "--json"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("not JSON"), std::string::npos) << failed.err;
}

}  // namespace
