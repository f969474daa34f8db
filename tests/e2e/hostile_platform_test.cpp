// What a broken or hostile platform may answer, and what outside text may hold: each is a clear
// error or shown harmlessly, never a crash, a wait without end or raw terminal control.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "catalogue_fixture.h"
#include "served_sim.h"
#include "test_sims.h"

namespace {

namespace fs = std::filesystem;
using norva_test::ordered_json;
using norva_test::RunResult;
using namespace std::chrono_literals;

const std::string DEEP_ARRAY = std::string(100000, '[') + std::string(100000, ']');
// Retitles the terminal, then rings its bell; an 8-bit CSI follows.
const std::string CONTROL = "\x1b]0;owned\x07\xc2\x9b";
const std::string CONTROL_SHOWN = "\\x1b]0;owned\\x07\\x9b";

class HostilePlatformTest : public norva_test::CatalogueTest {
  protected:
    HostilePlatformTest() { sim = norva_test::write_test_sim(sandbox.dir().path(), "good"); }

    static void expect_clear_failure(const RunResult& result, const std::string& message) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find("Error: " + message), std::string::npos) << result.err;
    }

    fs::path sim;
};

TEST_F(HostilePlatformTest, DeeplyNestedAnswersAreClearErrors) {
    platform.on("GET", "/v1/organizations/org-1/sims", {200, DEEP_ARRAY});
    platform.on("GET", "/v1/organizations/org-1/sims?name=test-sim", {200, DEEP_ARRAY});
    const std::string sims = "Platform request failed: GET /organizations/org-1/sims";
    expect_clear_failure(sandbox.run({"sim", "list"}, "1\n"),
                         sims + ": the answer is nested deeper than 256 levels");
    expect_clear_failure(sandbox.run({"sim", "retrieve"}, "1\n"),
                         sims + ": the answer is nested deeper than 256 levels");
    expect_clear_failure(sandbox.run({"sim", "publish", sim}, "1\n"),
                         sims + "?name=test-sim: the answer is nested deeper than 256 levels");
    EXPECT_TRUE(fs::is_empty(temp())) << "publish left its archive behind";

    platform.on("GET", "/v1/organizations", {200, DEEP_ARRAY});
    const std::string organizations =
        "Platform request failed: GET /organizations: the answer is nested deeper than 256 levels";
    expect_clear_failure(sandbox.run({"sim", "list"}, "1\n"), organizations);
    sandbox.unset_env("NORVA_TOKEN");
    expect_clear_failure(sandbox.run({"login", "--with-token"}, "tok\n"),
                         "Could not check the token. " + organizations);
}

TEST_F(HostilePlatformTest, AHugeErrorBodyIsQuotedInPart) {
    platform.on("GET", "/v1/organizations/org-1/sims", {500, std::string(1000000, 'e')});
    auto result = sandbox.run({"sim", "list"}, "1\n");
    expect_clear_failure(result, "Platform request failed: GET /organizations/org-1/sims (500): " +
                                     std::string(1000, 'e') + "… (1000000 bytes)");
    EXPECT_LT(result.err.size(), 2000u);
}

TEST_F(HostilePlatformTest, AnAnswerOverSixtyFourMebibytesIsRefused) {
    platform.on("GET", "/v1/organizations/org-1/sims",
                {200, "[\"" + std::string((64 << 20) + 10, 'x') + "\"]"});
    expect_clear_failure(sandbox.run({"sim", "list"}, "1\n"),
                         "Platform request failed: GET /organizations/org-1/sims: the answer is "
                         "larger than 64 MiB");
}

// The limit is a minute by default; the test sets it to a second.
TEST_F(HostilePlatformTest, APlatformThatStopsAnsweringIsNamedAfterTheStallLimit) {
    sandbox.set_env("NORVA_PLATFORM_STALL_LIMIT", "1");
    platform.on("GET", "/v1/organizations", {200, "[]", 4s});
    sandbox.unset_env("NORVA_TOKEN");
    auto started = std::chrono::steady_clock::now();
    auto result = sandbox.run({"login", "--with-token"}, "tok\n");
    expect_clear_failure(result,
                         "Could not check the token. Platform request failed: GET /organizations: "
                         "the platform stopped answering");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

TEST_F(HostilePlatformTest, ControlCharactersFromOutsideAreShownNotObeyed) {
    platform.on(
        "GET", "/v1/organizations",
        {200, ordered_json::array({{{"uuid", "org-1"}, {"name", "Evil" + CONTROL}}}).dump()});
    platform.on("GET", "/v1/organizations/org-1/sims",
                {200, ordered_json::array({{{"id", "s-1"}, {"name", "sim" + CONTROL}}}).dump()});
    platform.on("GET", "/v1/organizations/org-1/sims/s-1",
                {200, ordered_json{{"versions", ordered_json::array()}}.dump()});
    auto listed = sandbox.run({"sim", "list"}, "1\n");
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.err.find("1) Evil" + CONTROL_SHOWN + " (uuid: org-1)"), std::string::npos)
        << listed.err;
    EXPECT_NE(listed.out.find("sim" + CONTROL_SHOWN), std::string::npos) << listed.out;

    auto retrieved = sandbox.run({"sim", "retrieve"}, "1\n1\n");
    EXPECT_EQ(retrieved.status, 0) << retrieved.err;
    EXPECT_NE(retrieved.out.find("Selected sim: sim" + CONTROL_SHOWN), std::string::npos)
        << retrieved.out;

    for (const auto& output : {listed.out, listed.err, retrieved.out, retrieved.err}) {
        EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
        EXPECT_EQ(output.find('\x07'), std::string::npos) << output;
    }
}

TEST_F(HostilePlatformTest, ASimNameWithControlCharactersIsServedUnderItsShownName) {
    auto manifest = norva_test::read_file(sim / "norva-sim.toml");
    manifest.replace(manifest.find("test-sim"), 8, "evil\\u001b[2J\\u0007");
    norva_test::write_file(sim / "norva-sim.toml", manifest);
    auto result = norva_test::ServedSim(sandbox, sim).stop();
    EXPECT_NE(result.err.find("Serving sim 'evil\\x1b[2J\\x07' over grpc"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << result.err;
}

TEST_F(HostilePlatformTest, PublishRefusesIgnoreRulesThatLeaveOutTheManifest) {
    norva_test::write_file(sim / ".norvaignore", "*\n");
    auto result = sandbox.run({"sim", "publish", sim}, "1\n");
    expect_clear_failure(result,
                         "The ignore rules of .norvaignore leave the manifest norva-sim.toml out "
                         "of the archive; change the rule that matches it");
    EXPECT_EQ(result.err.find("published successfully"), std::string::npos) << result.err;
    for (const auto& request : platform.requests()) {
        EXPECT_FALSE(request.path.ends_with("/implementations")) << "an archive was uploaded";
    }
    EXPECT_TRUE(fs::is_empty(temp())) << "publish left its archive behind";
}

class HostileHostTest : public norva_test::ComputeTest {};

// The probe's failure is this machine's: the platform must not be blamed, nor asked.
TEST_F(HostileHostTest, AGpuProbeThatCannotStartIsNamedAndNothingIsRegistered) {
    sandbox.add_program("nvidia-smi", "exit 0");
    fs::permissions(sandbox.dir() / "bin/nvidia-smi", fs::perms::owner_read);
    auto result = connect({"--organization-id", "o"});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("nvidia-smi"), std::string::npos) << result.err;
    EXPECT_EQ((result.out + result.err).find("Could not reach NORVA platform"), std::string::npos)
        << result.out;
    EXPECT_TRUE(requests_to("POST").empty());
    EXPECT_FALSE(saved_record());
}

}  // namespace
