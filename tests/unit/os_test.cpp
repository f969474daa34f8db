#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "norva_core/paths.h"
#include "os/os.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

// What macOS's own branch feeds it is a path like any other: this runs on every system.
TEST(InstallPrefix, IsTheFolderAboveTheProgramsFolder) {
    using norva_core::paths::install_prefix_of;
    EXPECT_EQ(install_prefix_of("/usr/local/bin/norva"), "/usr/local");
    EXPECT_EQ(install_prefix_of("/opt/homebrew/Cellar/norva/0.1.0/bin/norva"),
              "/opt/homebrew/Cellar/norva/0.1.0");
    EXPECT_EQ(install_prefix_of("/work/build/bin/norva"), "/work/build");
    auto self = norva_core::os::executable_path();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->filename(), "norva_unit_tests");
    EXPECT_TRUE(self->is_absolute());
}

TEST(RenameNoReplace, MovesIntoPlaceButNeverOverAnything) {
    norva_test::TempDir dir;
    fs::create_directories(dir / "staged/inner");
    fs::create_directories(dir / "taken");
    norva_core::paths::rename_no_replace(dir / "staged", dir / "placed");
    EXPECT_TRUE(fs::exists(dir / "placed/inner"));
    EXPECT_FALSE(fs::exists(dir / "staged"));
    try {
        norva_core::paths::rename_no_replace(dir / "placed", dir / "taken");
        ADD_FAILURE() << "an existing folder was replaced";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_exists);
    }
    EXPECT_TRUE(fs::exists(dir / "placed/inner"));
    EXPECT_TRUE(fs::is_empty(dir / "taken"));
}

TEST(Descriptors, PipesAndSocketsAreClosedInStartedPrograms) {
    int ends[2];
    ASSERT_TRUE(norva_core::os::cloexec_pipe(ends));
    for (int fd : ends) {
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ::close(fd);
    }
    int socket = norva_core::os::cloexec_socket(AF_INET, SOCK_STREAM, 0, true);
    ASSERT_GE(socket, 0);
    EXPECT_NE(::fcntl(socket, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(::fcntl(socket, F_GETFL) & O_NONBLOCK, 0);
    ::close(socket);
}

}  // namespace
