#include <gtest/gtest.h>

#include "kestrel/grants.h"
#include "temp_dir.h"

using Fields = std::vector<std::string>;

TEST(GrantsCsv, FirstFieldTrimmedAndEmptyRowsSkipped) {
    EXPECT_EQ(kestrel::_first_csv_fields("org-a\n org-b \n\n,x\n"), (Fields{"org-a", "org-b"}));
    EXPECT_EQ(kestrel::_first_csv_fields("organization_id,name\r\nu1,One\r\nu1,Again"),
              (Fields{"organization_id", "u1", "u1"}));
}

TEST(GrantsCsv, StandardQuoting) {
    EXPECT_EQ(
        kestrel::_first_csv_fields("\"a,b\",c\n\"say \"\"hi\"\"\"\n\"multi\nline\",x\n\"  \",y\n"),
        (Fields{"a,b", "say \"hi\"", "multi\nline"}));
}

TEST(GrantsCsv, UnreadableOrNonTextFilesAreErrorsNamingThePath) {
    norva_test::TempDir dir;
    norva_test::write_file(dir / "binary.csv", std::string("org\xff\xfe\n", 6));
    try {
        kestrel::_read_grant_org_ids(dir / "binary.csv");
        FAIL() << "binary file accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(dir / "binary.csv"), std::string::npos);
    }
    EXPECT_THROW(kestrel::_read_grant_org_ids(dir.path().string()), std::runtime_error);
    norva_test::write_file(dir / "ok.csv", "Zürich-org\n");
    EXPECT_EQ(kestrel::_read_grant_org_ids(dir / "ok.csv"), (Fields{"Zürich-org"}));
}
