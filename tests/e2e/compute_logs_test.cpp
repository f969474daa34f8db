#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "compute_fixture.h"

namespace {

using norva_test::NorvaSandbox;
using namespace std::chrono_literals;

class ComputeLogsTest : public norva_test::ComputeTest {
  protected:
    void connect_node() {
        auto connected = connect({"--organization-id", "org-1"});
        ASSERT_EQ(connected.status, 0) << connected.err;
    }

    std::string last_command() const {
        auto commands = docker_commands();
        return commands.empty() ? "" : commands.back();
    }

    void wait_for_logs_call() const {
        ASSERT_TRUE(norva_test::eventually([&] { return last_command().rfind("logs", 0) == 0; }))
            << last_command();
    }
};

TEST_F(ComputeLogsTest, WithoutANodeSaysSoAndAsksDockerNothing) {
    auto result = sandbox.run({"compute", "logs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("No compute node is connected"), std::string::npos) << result.err;
    EXPECT_TRUE(docker_commands().empty());
}

TEST_F(ComputeLogsTest, HandsServiceFollowAndTailToComposeAndPassesItsOutputOn) {
    ASSERT_NO_FATAL_FAILURE(connect_node());
    sandbox.docker_scenario(
        {{"rules", {{{"args_contain", {"logs"}}, {"stdout", "redis-1  | Ready to accept\n"}}}}});
    auto all = sandbox.run({"compute", "logs"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, "redis-1  | Ready to accept\n");
    EXPECT_EQ(last_command(), "logs");

    ASSERT_EQ(sandbox.run({"compute", "logs", "redis", "--follow", "--tail", "20"}).status, 0);
    EXPECT_EQ(last_command(), "logs --follow --tail 20 redis");
    ASSERT_EQ(sandbox.run({"compute", "logs", "-f", "-n", "all", "compute"}).status, 0);
    EXPECT_EQ(last_command(), "logs --follow --tail all compute");

    auto size = docker_commands().size();
    auto bad = sandbox.run({"compute", "logs", "--tail", "-3"});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("--tail"), std::string::npos) << bad.err;
    EXPECT_EQ(docker_commands().size(), size) << "a bad count never reaches docker";
}

TEST_F(ComputeLogsTest, DockersFailureIsTheCommandsStatus) {
    ASSERT_NO_FATAL_FAILURE(connect_node());
    sandbox.docker_scenario(
        {{"rules",
          {{{"args_contain", {"logs"}}, {"status", 18}, {"stderr", "no such service: nope\n"}}}}});
    auto result = sandbox.run({"compute", "logs", "nope"});
    EXPECT_EQ(result.status, 18);
    EXPECT_NE(result.err.find("no such service: nope"), std::string::npos) << result.err;
}

TEST_F(ComputeLogsTest, AnInterruptEndsFollowingQuietlyButNotAOneOffRead) {
    ASSERT_NO_FATAL_FAILURE(connect_node());
    sandbox.docker_scenario({{"rules", {{{"args_contain", {"logs"}}, {"delay_ms", 20000}}}}});
    auto following = sandbox.spawn({"compute", "logs", "--follow"});
    ASSERT_NO_FATAL_FAILURE(wait_for_logs_call());
    ::kill(following.pid(), SIGINT);
    auto followed = NorvaSandbox::finish(following);
    EXPECT_EQ(followed.status, 0) << followed.err;
    EXPECT_EQ(followed.err.find("Aborted."), std::string::npos) << followed.err;

    auto reading = sandbox.spawn({"compute", "logs"});
    auto calls = docker_commands().size();
    EXPECT_TRUE(norva_test::eventually([&] { return docker_commands().size() > calls; }));
    ::kill(reading.pid(), SIGINT);
    EXPECT_EQ(NorvaSandbox::finish(reading).status, 128 + SIGINT);
}

}  // namespace
