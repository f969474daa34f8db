#include <gtest/gtest.h>

#include "fake_http_server.h"
#include "norva_core/http.h"
#include "norva_core/process.h"
#include "norva_runner.h"

using norva_test::NorvaSandbox;

namespace {

// Positions of the texts in the output, in order; fails when one is missing or out of order.
void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t from = 0;
    for (const auto& part : parts) {
        auto at = text.find(part, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << part << "\n" << text;
        from = at + part.size();
    }
}

}  // namespace

TEST(RootProgram, HelpListsBothGroupsAndVersionPrintsTheVersion) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"--help"});
    EXPECT_EQ(help.status, 0);
    expect_in_order(help.out, {"compute", "sim"});
    auto version = sandbox.run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "norva 0.1.0\n");
}

TEST(RootProgram, ComputeHelpShowsItsCommandsInOrder) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"compute", "--help"});
    EXPECT_EQ(help.status, 0);
    expect_in_order(
        help.out,
        {"connect", "Start the local compute node and register it with the NORVA platform.",
         "project", "Select (or change) the project locally-specified components are published to.",
         "disconnect", "Stop the local compute node and deregister it from the NORVA platform."});
}

TEST(RootProgram, ConnectHelpShowsNameAndHidesTheHiddenOptions) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"compute", "connect", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--name"), std::string::npos);
    EXPECT_NE(help.out.find("Cluster name (default: <os-user>-local)"), std::string::npos);
    EXPECT_EQ(help.out.find("--organization-id"), std::string::npos);
    EXPECT_EQ(help.out.find("--managed"), std::string::npos);
}

TEST(RootProgram, SimHelpShowsAllThirteenCommandsInOrder) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"sim", "--help"});
    EXPECT_EQ(help.status, 0);
    expect_in_order(help.out, {"validate", "benchmark", "new", "run", "publish", "list", "retrieve",
                               "start", "logs", "stop", "status", "info", "mappings"});
}

TEST(RootProgram, MultiLineDescriptionsKeepTheirLineBreaks) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"sim", "status", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(
        help.out.find("Get the status of the sims running\n\nArgs:\nsim_name (str, optional): "
                      "The sim name to get the status for. Defaults to None.\n"),
        std::string::npos)
        << help.out;
}

TEST(RootProgram, RunHelpStillWorksAlthoughDashHIsTheHost) {
    NorvaSandbox sandbox;
    auto help = sandbox.run({"sim", "run", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-h,--host"), std::string::npos);
    EXPECT_NE(help.out.find("Host to run the sim"), std::string::npos);
}

TEST(RootProgram, UsageErrorsEndWithStatusTwo) {
    NorvaSandbox sandbox;
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"compute"},
                                               {"nonsense"},
                                               {"sim", "start"},
                                               {"sim", "logs"},
                                               {"compute", "connect", "--bogus"},
                                               {"compute", "project", "extra"}}) {
        auto result = sandbox.run(args);
        EXPECT_EQ(result.status, 2) << testing::PrintToString(args);
        EXPECT_NE(result.err.find("Error: "), std::string::npos);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_NE(sandbox.run({"sim", "start"}).err.find("SIM_CONTAINER is required"),
              std::string::npos);
}

TEST(RootProgram, AnUnknownCommandOrOptionIsNamed) {
    NorvaSandbox sandbox;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"nonsense"}, {"compute", "nonsense"}, {"sim", "nonsense", "x"}}) {
        auto result = sandbox.run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err,
                  "Error: No such command 'nonsense'.\nRun with --help for more information.\n");
    }
    EXPECT_EQ(sandbox.run({"--bogus"}).err,
              "Error: No such option '--bogus'.\nRun with --help for more information.\n");
    EXPECT_EQ(sandbox.run({"sim"}).err,
              "Error: A subcommand is required\nRun with --help for more information.\n");
}

TEST(RootProgram, FailedCommandsReportAnErrorWithStatusOne) {
    NorvaSandbox sandbox;
    sandbox.unset_env("NORVA_TOKEN");
    auto result = sandbox.run({"sim", "retrieve"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.err.rfind("Error: No NORVA session token found. Sign in with `norva login`", 0), 0u)
        << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(RootProgram, BadValuesAreRejectedByTheCommandWithAClearError) {
    NorvaSandbox sandbox;
    auto samples = sandbox.run({"sim", "benchmark", "--samples", "abc"});
    EXPECT_EQ(samples.status, 1);
    EXPECT_EQ(samples.err, "Error: Invalid value for '--samples': 'abc' is not a valid integer.\n");
    auto zero = sandbox.run({"sim", "benchmark", "-s", "0"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_NE(zero.err.find("not a positive number of samples"), std::string::npos);
    auto port = sandbox.run({"sim", "run", "--port", "70000"});
    EXPECT_EQ(port.status, 1);
    EXPECT_NE(port.err.find("'--port'"), std::string::npos);
    auto env_init = sandbox.run({"sim", "run", "--env-init", "[1]"});
    EXPECT_EQ(env_init.status, 1);
    EXPECT_NE(env_init.err.find("'--env-init'"), std::string::npos);
}

TEST(RootProgram, ErrorsAreStyledOnlyWhenColourIsForced) {
    NorvaSandbox sandbox;
    EXPECT_EQ(sandbox.run({"sim", "retrieve"}).err.find('\x1b'), std::string::npos);
    sandbox.set_env("FORCE_COLOR", "1");
    EXPECT_NE(sandbox.run({"sim", "retrieve"}).err.find("\x1b[31m"), std::string::npos);
}

TEST(FakeDocker, RecordsCallsAndAnswersFromTheScenario) {
    NorvaSandbox sandbox;
    sandbox.docker_scenario({{"rules",
                              {{{"args_prefix", {"compose"}},
                                {"args_contain", {"up"}},
                                {"times", 1},
                                {"status", 1},
                                {"stderr", "port busy"}},
                               {{"args_prefix", {"info"}}, {"stdout", "ok"}}}}});
    norva_core::process::Options options;
    std::vector<std::string> env{
        "PATH=" + sandbox.dir() / "bin", "FAKE_DOCKER_LOG=" + sandbox.dir() / "docker-calls.jsonl",
        "FAKE_DOCKER_SCENARIO=" + sandbox.dir() / "docker-scenario.json", "NORVA_CLUSTER_ID=c1"};
    options.env = env;
    auto first = norva_core::process::run(
        {sandbox.dir() / "bin/docker", "compose", "-f", "x.yml", "up", "-d"}, options);
    auto second = norva_core::process::run(
        {sandbox.dir() / "bin/docker", "compose", "-f", "x.yml", "up", "-d"}, options);
    auto info = norva_core::process::run({sandbox.dir() / "bin/docker", "info"}, options);
    EXPECT_EQ(first.exit_code, 1);
    EXPECT_EQ(first.err, "port busy");
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(info.out, "ok");
    auto calls = sandbox.docker_calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0]["args"], (nlohmann::json{"compose", "-f", "x.yml", "up", "-d"}));
    EXPECT_EQ(calls[0]["env"]["NORVA_CLUSTER_ID"], "c1");
}

TEST(FakeComputeService, AnswersOnPort8000) {
    norva_test::FakeComputeService service;
    service.on("POST", "/jobs/shutdown", {200, "ok"});
    norva_core::http::Request request;
    request.method = "POST";
    request.url = "http://localhost:8000/jobs/shutdown";
    EXPECT_EQ(norva_core::http::send(request).status, 200);
    EXPECT_EQ(service.requests().size(), 1u);
}
