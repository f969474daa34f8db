#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "compute_fixture.h"
#include "norva_core/process.h"

namespace {

namespace fs = std::filesystem;
using norva_test::json;
using norva_test::RunResult;

class AccountTest : public testing::Test {
  protected:
    AccountTest() : platform(norva_test::test_ca()) {
        sandbox.set_env("NORVA_API_URL", platform.url());
        sandbox.set_env("NORVA_CA_BUNDLE", norva_test::test_ca().ca_file());
        platform.on("GET", "/v1/organizations", {200, R"([{"uuid":"org-1","name":"Acme"}])"});
    }

    std::string credentials_file() const { return sandbox.norva_home() + "/credentials.json"; }
    json stored() const { return json::parse(norva_test::read_file(credentials_file())); }

    norva_test::NorvaSandbox sandbox;
    norva_test::FakePlatform platform;
};

TEST_F(AccountTest, LoginChecksTheTokenStoresItPrivatelyAndLaterCommandsUseIt) {
    norva_test::write_file(credentials_file(), R"({"api_key":"node-key"})");
    auto result = sandbox.run({"login", "--with-token"}, "tok-1\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("tok-1"), std::string::npos) << "a token is never printed";
    EXPECT_EQ(platform.requests().at(0).headers.at("Authorization"), "Bearer tok-1");
    EXPECT_EQ(stored(), (json{{"api_key", "node-key"}, {"token", "tok-1"}}));
    struct stat info {};
    ASSERT_EQ(::stat(credentials_file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    platform.on("GET", "/v1/organizations/org-1/sims", {200, "[]"});
    auto listed = sandbox.run({"sim", "list"}, "1\n");
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(platform.requests().back().headers.at("Authorization"), "Bearer tok-1");
}

TEST_F(AccountTest, LoginAsksWithoutEchoWhenNoTokenIsPiped) {
    auto result = sandbox.run({"login"}, "tok-2\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Paste your NORVA session token: "), std::string::npos);
    EXPECT_EQ((result.out + result.err).find("tok-2"), std::string::npos);
    EXPECT_EQ(stored()["token"], "tok-2");
}

TEST_F(AccountTest, ARefusedOrEmptyTokenIsNotStored) {
    platform.on("GET", "/v1/organizations", {401, R"({"detail":"bad token"})"});
    auto refused = sandbox.run({"login", "--with-token"}, "wrong\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Error: The platform did not accept this token."), std::string::npos)
        << refused.err;
    auto empty = sandbox.run({"login", "--with-token"}, "  \n");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "Error: No token given; nothing was stored.\n");
    EXPECT_FALSE(fs::exists(credentials_file()));
}

TEST_F(AccountTest, LogoutRemovesOnlyTheTokenAndMissingTokensSayHowToSignIn) {
    norva_test::write_file(credentials_file(), R"({"api_key":"node-key","token":"tok-1"})");
    auto out = sandbox.run({"logout"});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_NE(out.out.find("Signed out"), std::string::npos);
    EXPECT_EQ(stored(), (json{{"api_key", "node-key"}}));
    auto again = sandbox.run({"logout"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("No session token was stored"), std::string::npos);

    auto listed = sandbox.run({"sim", "list"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find("Sign in with `norva login`"), std::string::npos) << listed.err;
}

// Completes the words with the script norva prints, in a real bash.
std::string bash_completes(const norva_test::NorvaSandbox& sandbox,
                           const std::string& words_and_index) {
    auto script = sandbox.run({"completion", "bash"});
    EXPECT_EQ(script.status, 0) << script.err;
    std::string file = sandbox.dir() / "norva.bash";
    norva_test::write_file(file, script.out);
    auto completed = norva_core::process::run(
        {"bash", "-c",
         "source " + file + "; " + words_and_index + "; _norva; echo \"${COMPREPLY[*]}\""});
    EXPECT_EQ(completed.exit_code, 0) << completed.err;
    return completed.out;
}

TEST(Completion, BashCompletesCommandsAndVisibleOptionsOnly) {
    norva_test::NorvaSandbox sandbox;
    EXPECT_EQ(bash_completes(sandbox, "COMP_WORDS=(norva sim st); COMP_CWORD=2"),
              "start stop status\n");
    EXPECT_EQ(bash_completes(sandbox, "COMP_WORDS=(norva ''); COMP_CWORD=1"),
              "compute sim login logout completion\n")
        << "the hidden manpage command is left out";
    EXPECT_EQ(bash_completes(sandbox, "COMP_WORDS=(norva compute connect --); COMP_CWORD=3"),
              "--help --name\n")
        << "hidden options are left out";
    EXPECT_EQ(bash_completes(sandbox, "COMP_WORDS=(norva sim publish ./x -); COMP_CWORD=4"),
              "--help -h --path -p\n");

    for (const char* shell : {"zsh", "fish"}) {
        auto script = sandbox.run({"completion", shell});
        EXPECT_EQ(script.status, 0) << shell;
        EXPECT_NE(script.out.find("publish"), std::string::npos) << shell;
    }
    EXPECT_EQ(sandbox.run({"completion", "tcsh"}).status, 2);
}

TEST(ManPage, IsBuiltFromTheCommandTree) {
    auto page =
        norva_test::read_file(fs::path(norva_test::norva_binary()).parent_path().parent_path() /
                              "share/man/man1/norva.1");
    EXPECT_EQ(page.rfind(".TH NORVA 1 ", 0), 0u);
    for (const char* heading : {".SS \"norva compute connect\"", ".SS \"norva sim publish [PATH]\"",
                                ".SS \"norva login\"", ".SS \"norva compute status\""}) {
        EXPECT_NE(page.find(heading), std::string::npos) << heading;
    }
    EXPECT_EQ(page.find("manpage"), std::string::npos);
    EXPECT_EQ(page.find("organization\\-id"), std::string::npos);
}

class ComputeStatusTest : public norva_test::ComputeTest {};

TEST_F(ComputeStatusTest, ReportsTheNodeWithoutItsCredentialAndChangesNothing) {
    norva_test::ordered_json record = {{"cluster_id", "c-42"},
                                       {"api_key", "node-key"},
                                       {"managed", true},
                                       {"organization_id", "org-1"},
                                       {"project_id", nullptr},
                                       {"started_at", "2026-12-08T09:00:00Z"},
                                       {"ports", {{"compute service", 8000}}}};
    save_record(record);

    auto down = sandbox.run({"compute", "status", "--json"});
    ASSERT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(json::parse(down.out), (json{{"connected", true},
                                           {"cluster_id", "c-42"},
                                           {"mode", "managed"},
                                           {"organization_id", "org-1"},
                                           {"project_id", nullptr},
                                           {"started_at", "2026-12-08T09:00:00Z"},
                                           {"compute_service_answering", false}}));

    norva_test::FakeComputeService service;
    auto up = sandbox.run({"compute", "status"});
    ASSERT_EQ(up.status, 0) << up.err;
    for (const char* line :
         {"Compute node connected", "Cluster ID:       c-42", "Mode:             managed",
          "Project:          none", "Since:            2026-12-08T09:00:00Z",
          "Compute service:  answering on port 8000"}) {
        EXPECT_NE(up.out.find(line), std::string::npos) << line << "\n" << up.out;
    }
    EXPECT_EQ((down.out + up.out).find("node-key"), std::string::npos);
    EXPECT_EQ(saved_record(), record);
    EXPECT_TRUE(sandbox.docker_calls().empty());
}

TEST_F(ComputeStatusTest, SaysWhenNoNodeIsConnected) {
    auto result = sandbox.run({"compute", "status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "No compute node is connected. Start one with `norva compute connect`.\n");
    EXPECT_EQ(json::parse(sandbox.run({"compute", "status", "--json"}).out),
              (json{{"connected", false}}));
}

}  // namespace
