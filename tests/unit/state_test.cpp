#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "norva_api/credentials.h"
#include "state/state.h"
#include "temp_dir.h"

namespace state = norva_cli::compute::state;
using nlohmann::ordered_json;

namespace {

class NodeStateTest : public testing::Test {
  protected:
    void SetUp() override { setenv("NORVA_HOME", (dir_ / "norva").c_str(), 1); }
    void TearDown() override { unsetenv("NORVA_HOME"); }

    static int mode_of(const std::string& path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return info.st_mode & 0777;
    }

    norva_test::TempDir dir_;
};

}  // namespace

TEST_F(NodeStateTest, NothingSavedLoadsAsNothingAndDeletingIsHarmless) {
    EXPECT_EQ(state::load(), std::nullopt);
    EXPECT_NO_THROW(state::delete_());
}

TEST_F(NodeStateTest, SavedRecordComesBackWithItsKeyOrderAndStaysPrivate) {
    ordered_json record = {{"cluster_id", "c1"},
                           {"api_key", "k"},
                           {"managed", false},
                           {"organization_id", "o"},
                           {"project_id", nullptr},
                           {"started_at", "2026-12-07T06:43:33.123456+00:00"},
                           {"ports", {{"compute service", 8000}, {"SeaweedFS filer", 8888}}}};
    state::save(record);
    auto loaded = state::load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->dump(), record.dump());
    EXPECT_EQ(state::record_path(), dir_ / "norva/compute/node.json");
    EXPECT_EQ(mode_of(state::record_path()), 0600);
    EXPECT_EQ(mode_of(dir_ / "norva"), 0700);
    EXPECT_EQ(mode_of(dir_ / "norva/compute"), 0700);
    // No temporary file is left beside the record.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "norva/compute"),
                            std::filesystem::directory_iterator()),
              1);
    state::delete_();
    EXPECT_EQ(state::load(), std::nullopt);
}

TEST_F(NodeStateTest, SavingReplacesTheWholeRecord) {
    state::save({{"cluster_id", "old"}, {"extra", 1}});
    state::save({{"cluster_id", "new"}});
    EXPECT_EQ(state::load()->dump(), R"({"cluster_id":"new"})");
}

TEST_F(NodeStateTest, DamagedRecordIsAnErrorNamingTheFileAndIsKept) {
    norva_test::write_file(dir_ / "norva/compute/node.json", "{not json");
    try {
        state::load();
        FAIL() << "damaged record accepted";
    } catch (const state::StateError& error) {
        EXPECT_NE(std::string(error.what()).find(state::record_path()), std::string::npos);
    }
    EXPECT_EQ(norva_test::read_file(state::record_path()), "{not json");
    norva_test::write_file(state::record_path(), "[1, 2]");
    EXPECT_THROW(state::load(), state::StateError);
}

TEST_F(NodeStateTest, CredentialsComeFromTheEnvironmentBeforeTheFile) {
    namespace credentials = norva_api::credentials;
    unsetenv("NORVA_TOKEN");
    unsetenv("NORVA_API_KEY");
    EXPECT_EQ(credentials::session_token(), std::nullopt);
    try {
        credentials::require_node_api_key();
        FAIL() << "missing key accepted";
    } catch (const credentials::MissingCredential& error) {
        EXPECT_NE(std::string(error.what()).find("NORVA_API_KEY"), std::string::npos);
    }
    norva_test::write_file(credentials::credentials_path(),
                           R"({"token":"file-token","api_key":"file-key"})");
    EXPECT_EQ(credentials::session_token(), "file-token");
    EXPECT_EQ(credentials::node_api_key(), "file-key");
    setenv("NORVA_TOKEN", "env-token", 1);
    EXPECT_EQ(credentials::require_session_token(), "env-token");
    unsetenv("NORVA_TOKEN");
}
