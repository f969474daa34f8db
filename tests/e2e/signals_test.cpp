// Every way a user or the system ends a command: Ctrl-C (SIGINT), `docker stop` or `kill`
// (SIGTERM), a closed terminal or dropped SSH session (SIGHUP) and Ctrl-\ (SIGQUIT). Each must
// end the command cleanly, with what it started undone and the terminal as it was.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "compute_fixture.h"
#include "polling.h"
#include "pseudo_terminal.h"
#include "served_sim.h"
#include "sim/remote/remote_simulator.h"
#include "test_sims.h"

namespace {

using norva_test::NorvaSandbox;
using norva_test::ordered_json;
using namespace std::chrono_literals;

const std::vector<int> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::string signal_name(const testing::TestParamInfo<int>& info) {
    switch (info.param) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGQUIT";
    }
}

using norva_test::eventually;

class ConnectSignalTest : public norva_test::ComputeTest,
                          public testing::WithParamInterface<int> {};

TEST_P(ConnectSignalTest, WhileTheStackStartsUndoesTheSetUpAndEndsWithTheSignalsStatus) {
    sandbox.docker_scenario({{"rules", {{{"args_contain", {"up"}}, {"delay_ms", 20000}}}}});
    auto child = sandbox.spawn({"compute", "connect", "--organization-id", "o"});
    ASSERT_TRUE(eventually([&] { return docker_commands().size() == 2; }));
    ::kill(child.pid(), GetParam());
    auto result = NorvaSandbox::finish(child);
    EXPECT_EQ(result.status, 128 + GetParam());
    EXPECT_NE(result.err.find("Aborted."), std::string::npos) << result.err;
    EXPECT_EQ(requests_to("DELETE").size(), 1u);
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d", "down"}));
    EXPECT_FALSE(saved_record());
}

INSTANTIATE_TEST_SUITE_P(Signals, ConnectSignalTest, testing::ValuesIn(ENDING_SIGNALS),
                         signal_name);

using ConnectCleanUpTest = norva_test::ComputeTest;

TEST_F(ConnectCleanUpTest, ASecondInterruptDoesNotStopTheDeregistration) {
    sandbox.docker_scenario({{"rules", {{{"args_contain", {"up"}}, {"delay_ms", 20000}}}}});
    platform.on("DELETE", "/v1/clusters/c-42", {204, "", 1500ms});
    auto child = sandbox.spawn({"compute", "connect", "--organization-id", "o"});
    ASSERT_TRUE(eventually([&] { return docker_commands().size() == 2; }));
    ::kill(child.pid(), SIGINT);
    ASSERT_TRUE(eventually([&] { return !requests_to("DELETE").empty(); }));
    ::kill(child.pid(), SIGINT);
    auto result = NorvaSandbox::finish(child);
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.out.find("Could not reach NORVA platform to deregister"), std::string::npos)
        << result.out;
    EXPECT_EQ(docker_commands(), (std::vector<std::string>{"info", "up -d", "down"}));
    EXPECT_FALSE(saved_record());
}

class RunSignalTest : public testing::TestWithParam<int> {};

// Simulators that ignore SIGTERM must not outlive the server, whatever signal ends it.
TEST_P(RunSignalTest, EndsEverySessionAndItsSimulator) {
    NorvaSandbox sandbox;
    std::string log = sandbox.dir() / "sims.log";
    sandbox.set_env("TEST_SIM_LOG", log);
    norva_test::ServedSim server(sandbox,
                                 norva_test::write_test_sim(sandbox.dir().path(), "stubborn"),
                                 {"--protocol", "http"});
    std::vector<std::unique_ptr<norva_core::sim::Simulator>> sessions;
    for (int i = 0; i < 2; ++i) {
        sessions.push_back(norva_core::sim::connect_http({"127.0.0.1", server.port()}));
        sessions.back()->make("open", norva_core::sim::Json::object());
    }
    auto result = server.stop(GetParam());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Gracefully stopping the server"), std::string::npos) << result.err;
    auto pids = norva_test::logged_pids(log);
    EXPECT_EQ(pids.size(), 2u);
    for (pid_t pid : pids) {
        EXPECT_FALSE(norva_test::process_exists(pid)) << "simulator " << pid << " was left";
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, RunSignalTest, testing::ValuesIn(ENDING_SIGNALS), signal_name);

class ContainerSignalTest : public testing::TestWithParam<int> {
  protected:
    // The docker calls made so far, each as its words joined by spaces.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        for (const auto& call : sandbox.docker_calls()) {
            std::string line;
            for (const auto& word : call["args"]) {
                line += (line.empty() ? "" : " ") + word.get<std::string>();
            }
            lines.push_back(line);
        }
        return lines;
    }

    // Runs the command until docker is asked for the held step, then sends the signal.
    norva_test::RunResult interrupted(const std::vector<std::string>& args,
                                      const std::string& held) {
        auto child = sandbox.spawn(args);
        EXPECT_TRUE(eventually([&] {
            auto seen = calls();
            return !seen.empty() && seen.back().rfind(held, 0) == 0;
        }));
        ::kill(child.pid(), GetParam());
        return NorvaSandbox::finish(child);
    }

    NorvaSandbox sandbox;
};

TEST_P(ContainerSignalTest, InfoStopsTheContainerItStarted) {
    sandbox.docker_scenario({{"rules",
                              {{{"args_contain", {"inspect"}}, {"delay_ms", 20000}},
                               {{"args_contain", {"run"}}, {"stdout", "c-1\n"}}}}});
    auto result = interrupted({"sim", "info", "--name", "demo"}, "inspect");
    EXPECT_EQ(result.status, 128 + GetParam()) << result.err;
    EXPECT_NE(result.err.find("Aborted."), std::string::npos) << result.err;
    auto seen = calls();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(seen.end() - 2, seen.end()),
              (std::vector<std::string>{"stop demo", "rm demo"}));
}

TEST_P(ContainerSignalTest, StartStopsAContainerItWasStarting) {
    sandbox.docker_scenario({{"rules", {{{"args_contain", {"run"}}, {"delay_ms", 20000}}}}});
    auto result = interrupted({"sim", "start", "demo"}, "run");
    EXPECT_EQ(result.status, 128 + GetParam()) << result.err;
    auto seen = calls();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()),
              (std::vector<std::string>{"stop demo", "rm demo"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, ContainerSignalTest, testing::ValuesIn(ENDING_SIGNALS),
                         signal_name);

class PromptSignalTest : public testing::TestWithParam<int> {};

// `norva login` asks for the token with echo off; however it ends, echo must come back.
TEST_P(PromptSignalTest, TheTerminalGetsItsEchoBack) {
    NorvaSandbox sandbox;
    std::string home = sandbox.home();
    std::vector<std::string> env{"HOME=" + home, "NORVA_HOME=" + sandbox.norva_home(),
                                 "PATH=/usr/bin:/bin", "TERM=dumb",
                                 "NORVA_API_URL=https://127.0.0.1:1"};
    std::string program = norva_test::norva_binary();
    int terminal = -1;
    pid_t pid = norva_test::fork_on_terminal(terminal);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> argv{program.data(), const_cast<char*>("login"), nullptr};
        std::vector<char*> envp;
        for (auto& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        std::_Exit(127);
    }
    std::string shown;
    ASSERT_TRUE(eventually([&] {
        char buffer[256];
        pollfd entry{terminal, POLLIN, 0};
        if (::poll(&entry, 1, 10) == 1) {
            ssize_t count = ::read(terminal, buffer, sizeof buffer);
            shown.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        }
        return shown.find("Paste your NORVA session token: ") != std::string::npos;
    })) << shown;
    termios settings{};
    ASSERT_TRUE(eventually([&] {
        return ::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO) == 0;
    })) << "the prompt does not hide what is typed";
    if (GetParam() == SIGQUIT) {
        ::write(terminal, "\x1c", 1);  // Ctrl-\ typed at the prompt
    } else {
        ::kill(pid, GetParam());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + GetParam());
    ASSERT_EQ(::tcgetattr(terminal, &settings), 0);
    EXPECT_NE(settings.c_lflag & ECHO, 0u) << "echo was left off";
    ::close(terminal);
}

INSTANTIATE_TEST_SUITE_P(Signals, PromptSignalTest, testing::ValuesIn(ENDING_SIGNALS), signal_name);

}  // namespace
