#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "norva_core/async_util.h"
#include "norva_core/errors.h"
#include "norva_core/interrupt.h"
#include "norva_core/process.h"
#include "polling.h"
#include "temp_dir.h"

namespace process = norva_core::process;

TEST(ProcessRun, CapturesBothStreamsAndTheExitStatus) {
    auto result = process::run({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
}

TEST(ProcessRun, PassesArgumentsVerbatimWithoutAShell) {
    auto result = process::run({"printf", "%s|", "a b", "$HOME", ";", "*"});
    EXPECT_EQ(result.out, "a b|$HOME|;|*|");
}

TEST(ProcessRun, LargeOutputOnBothStreamsDoesNotDeadlock) {
    auto result =
        process::run({"sh", "-c", "head -c 3000000 /dev/zero; head -c 3000000 /dev/zero >&2"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.size(), 3000000u);
    EXPECT_EQ(result.err.size(), 3000000u);
}

TEST(ProcessRun, UsesTheGivenEnvironmentAndFolderAndDiscardsOnRequest) {
    norva_test::TempDir dir;
    process::Options options;
    options.env = std::vector<std::string>{"ONLY=this", "PATH=/usr/bin:/bin"};
    options.cwd = dir.path().string();
    options.err = process::Output::discard;
    auto result = process::run({"sh", "-c", "echo $ONLY $HOME; pwd; echo hidden >&2"}, options);
    EXPECT_EQ(result.out, "this\n" + std::filesystem::canonical(dir.path()).string() + "\n");
    EXPECT_EQ(result.err, "");
}

TEST(ProcessRun, MissingExecutableIsItsOwnError) {
    EXPECT_THROW(process::run({"norva-no-such-program-here"}), process::ExecutableNotFound);
    norva_test::TempDir dir;
    norva_test::write_file(dir / "not-executable", "#!/bin/sh\n");
    EXPECT_THROW(process::run({dir / "not-executable"}), process::SpawnError);
}

TEST(ProcessRun, SignalDeathIsReportedAs128PlusTheSignal) {
    EXPECT_EQ(process::run({"sh", "-c", "kill -TERM $$"}).exit_code, 128 + SIGTERM);
}

TEST(ProcessRun, InterruptEndsTheChildAndThrows) {
    auto started = std::chrono::steady_clock::now();
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        norva_core::interrupt::raise_for_testing();
    });
    EXPECT_THROW(process::run({"sleep", "30"}), norva_core::Interrupted);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_FALSE(norva_core::interrupt::pending());
}

TEST(ProcessChild, DestroyingTheHandleEndsItsWholeProcessGroup) {
    process::Options options;
    options.own_process_group = true;
    pid_t grandchild = 0;
    {
        process::Child child({"sh", "-c", "sleep 30 & echo $!; wait"}, options);
        std::string line;
        char byte = 0;
        while (read(child.stdout_fd(), &byte, 1) == 1 && byte != '\n') {
            line += byte;
        }
        grandchild = std::stoi(line);
        ASSERT_EQ(kill(grandchild, 0), 0);
    }
    // Gone, or at most a zombie waiting for a reaper that is not us.
    std::string stat;
    EXPECT_TRUE(norva_test::eventually([&] {
        stat = norva_test::read_file("/proc/" + std::to_string(grandchild) + "/stat");
        return stat.empty() || stat.find(") Z") != std::string::npos;
    })) << stat;
}

TEST(InterruptScope, SigintBecomesAPendingInterruptOnlyInsideTheScope) {
    {
        norva_core::interrupt::Scope scope;
        raise(SIGINT);
        EXPECT_THROW(norva_core::interrupt::throw_if_pending(), norva_core::Interrupted);
        EXPECT_NO_THROW(norva_core::interrupt::throw_if_pending());
    }
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(AsyncToSync, PassesResultsAndErrorsThrough) {
    auto twice = norva_core::async_util::async_to_sync([](int value) { return value * 2; });
    EXPECT_EQ(twice(21), 42);
    auto exits = norva_core::async_util::async_to_sync([] { throw norva_core::ExitRequest{7}; });
    try {
        exits();
        FAIL() << "no exit request";
    } catch (const norva_core::ExitRequest& request) {
        EXPECT_EQ(request.status, 7);
    }
}

TEST(InterruptSleep, WakesUpOnInterrupt) {
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        norva_core::interrupt::raise_for_testing();
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(norva_core::interrupt::sleep_for(std::chrono::seconds(20)),
                 norva_core::Interrupted);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}
