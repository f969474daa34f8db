#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "archive_listing.h"
#include "norva_core/plugin_util.h"
#include "packaging/ignore_rules.h"
#include "sim/common/manifest.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using norva_core::packaging::IgnoreRules;

TEST(IgnoreRules, LeaveOutToolingFoldersAndWhatTheFileLists) {
    IgnoreRules rules("# comment\n\n*.log\n/data/*.csv\nsecrets/\nout/tmp\n");
    for (const char* folder : {".git", "build", "__pycache__", ".venv", "src/__pycache__"}) {
        EXPECT_TRUE(rules.ignored(folder, true)) << folder;
    }
    EXPECT_FALSE(rules.ignored("build", false)) << "only a folder named build is build output";
    EXPECT_TRUE(rules.ignored("run.log", false));
    EXPECT_TRUE(rules.ignored("logs/deep/run.log", false));
    EXPECT_TRUE(rules.ignored("data/big.csv", false));
    EXPECT_FALSE(rules.ignored("data/sub/big.csv", false)) << "a '*' stays within one folder";
    EXPECT_FALSE(rules.ignored("other/data/big.csv", false)) << "a pattern with '/' is anchored";
    EXPECT_TRUE(rules.ignored("secrets", true));
    EXPECT_TRUE(rules.ignored("config/secrets", true));
    EXPECT_FALSE(rules.ignored("secrets", false)) << "a trailing '/' matches folders only";
    EXPECT_TRUE(rules.ignored("out/tmp", false));
    EXPECT_FALSE(rules.ignored("sim.py", false));
    EXPECT_FALSE(rules.ignored("# comment", false));
}

class PackageTest : public testing::Test {
  protected:
    PackageTest() {
        fs::create_directories(dir / "tmp");
        setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    }
    ~PackageTest() override { unsetenv("TMPDIR"); }

    bool temp_is_empty() const { return fs::is_empty(dir / "tmp"); }

    norva_test::TempDir dir;
};

TEST_F(PackageTest, HoldsTheFolderWithLinksAsLinksAndTheManifestValues) {
    fs::path sim = dir.path() / "sim";
    fs::create_directories(sim / "data");
    fs::create_directories(sim / ".git");
    fs::create_directories(dir / "outside");
    norva_test::write_file(
        sim / "norva-sim.toml",
        "name = \"cart pole\"\ndescription = \"Balances\"\ntype = \"sim-docker\"\n"
        "version = \"2.1\"\ncommand = [\"python3\", \"sim.py\"]\n");
    norva_test::write_file(sim / "sim.py", "print('hi')\n");
    norva_test::write_file(sim / "data/table.csv", "a,b\n");
    norva_test::write_file(sim / "debug.log", "noise\n");
    norva_test::write_file(sim / ".norvaignore", "*.log\n");
    norva_test::write_file(sim / ".git/HEAD", "ref\n");
    norva_test::write_file(dir / "outside/secret.txt", "secret\n");
    fs::create_symlink(dir / "outside", sim / "elsewhere");
    fs::create_symlink("sim.py", sim / "main.py");

    auto package = norva_core::plugin_util::package(sim.string());
    EXPECT_EQ(package.file_name, "cart_pole-2.1.tar.gz");
    EXPECT_EQ(fs::path(package.archive_path).filename(), package.file_name);
    EXPECT_EQ(fs::path(package.archive_path).parent_path().parent_path(), dir.path() / "tmp");
    EXPECT_EQ(package.name, "cart pole");
    EXPECT_EQ(package.description, "Balances");
    EXPECT_EQ(package.type, "sim-docker");
    EXPECT_EQ(package.version, "2.1");

    auto entries = norva_test::archive_entries(norva_test::read_file(package.archive_path));
    std::map<std::string, std::string> expected{
        {".norvaignore", "*.log\n"},
        {"data/", "<folder>"},
        {"data/table.csv", "a,b\n"},
        {"elsewhere", "-> " + (dir.path() / "outside").string()},
        {"main.py", "-> sim.py"},
        {"norva-sim.toml", norva_test::read_file(sim / "norva-sim.toml")},
        {"sim.py", "print('hi')\n"},
    };
    EXPECT_EQ(entries, expected);
    fs::remove_all(fs::path(package.archive_path).parent_path());
}

TEST_F(PackageTest, AFolderWithoutManifestIsAnErrorAndLeavesNothing) {
    fs::create_directories(dir / "empty");
    try {
        norva_core::plugin_util::package(dir / "empty");
        ADD_FAILURE() << "packaging must fail";
    } catch (const norva_core::sim::ManifestError& error) {
        EXPECT_NE(std::string(error.what()).find("norva-sim.toml"), std::string::npos);
    }
    EXPECT_TRUE(temp_is_empty());
}

}  // namespace
