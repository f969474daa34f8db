#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "norva_core/console.h"
#include "pseudo_terminal.h"
#include "stdin_feed.h"

using norva_core::console::TerminalMenu;
using norva_test::StdinFeed;

namespace {

struct MenuRun {
    std::optional<std::size_t> choice;
    std::string screen;
};

MenuRun numbered_menu(const std::string& typed) {
    StdinFeed feed(typed);
    testing::internal::CaptureStderr();
    auto choice =
        TerminalMenu({"alpha (uuid: 1)", "beta (uuid: 2)", "gamma (uuid: 3)"}, "Select a Project:")
            .show();
    return {choice, testing::internal::GetCapturedStderr()};
}

constexpr int terminal_not_restored = 99;
constexpr int cancelled = 98;

// Shows a menu on a pseudo-terminal, types the keys once the menu is drawn, and returns the
// child's exit status: the chosen index, `cancelled`, or `terminal_not_restored`.
int interactive_menu(const std::string& keys) {
    int master = -1;
    pid_t pid = norva_test::fork_on_terminal(master);
    if (pid == 0) {
        termios before{};
        tcgetattr(STDIN_FILENO, &before);
        auto choice = TerminalMenu({"one", "two", "three"}, "Pick:").show();
        termios after{};
        tcgetattr(STDIN_FILENO, &after);
        if (before.c_lflag != after.c_lflag || before.c_iflag != after.c_iflag) {
            _exit(terminal_not_restored);
        }
        _exit(choice ? static_cast<int>(*choice) : cancelled);
    }
    std::string screen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (screen.find("three") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 100) > 0) {
            char buffer[256];
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                screen.append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    EXPECT_NE(screen.find("Pick:"), std::string::npos);
    EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    int status = 0;
    // Drain the output so the child never blocks on a full terminal.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        char buffer[256];
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 50) > 0 && read(master, buffer, sizeof buffer) <= 0) {
            waitpid(pid, &status, 0);
            break;
        }
    }
    close(master);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(NumberedMenu, ChoosesByNumberAndListsEntries) {
    auto run = numbered_menu("2\n");
    EXPECT_EQ(run.choice, 1u);
    EXPECT_NE(run.screen.find("Select a Project:\n  1) alpha (uuid: 1)\n  2) beta (uuid: 2)"),
              std::string::npos);
}

TEST(NumberedMenu, EmptyLineOrEndOfInputCancels) {
    EXPECT_EQ(numbered_menu("\n").choice, std::nullopt);
    EXPECT_EQ(numbered_menu("").choice, std::nullopt);
}

TEST(NumberedMenu, AsksAgainAfterAnInvalidAnswer) {
    auto run = numbered_menu("x\n0\n4\n3\n");
    EXPECT_EQ(run.choice, 2u);
    EXPECT_NE(run.screen.find("Please enter a number from 1 to 3."), std::string::npos);
}

TEST(InteractiveMenu, ArrowKeysMoveAndEnterChooses) {
    EXPECT_EQ(interactive_menu("\x1b[B\x1b[B\r"), 2);
    EXPECT_EQ(interactive_menu("j\x1b[A\x1b[A\r"), 2);  // wraps around from the top
    EXPECT_EQ(interactive_menu("\r"), 0);
}

TEST(InteractiveMenu, QuitEscapeAndCtrlCCancelAndRestoreTheTerminal) {
    EXPECT_EQ(interactive_menu("q"), cancelled);
    EXPECT_EQ(interactive_menu("\x1b"), cancelled);
    EXPECT_EQ(interactive_menu("j\x03"), cancelled);
}

TEST(Prompt, EmptyAnswerTakesTheDefault) {
    StdinFeed feed("\nmine\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(norva_core::console::prompt("Name", "my-sim"), "my-sim");
    EXPECT_EQ(norva_core::console::prompt("Description", "A demo sim"), "mine");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Name [my-sim]: Description [A demo sim]: ");
}
