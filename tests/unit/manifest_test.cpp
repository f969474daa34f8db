#include <gtest/gtest.h>

#include "sim/common/manifest.h"
#include "temp_dir.h"

namespace {

using norva_core::sim::load_manifest;
using norva_core::sim::ManifestError;
using norva_test::TempDir;
using norva_test::write_file;

std::string refusal(const TempDir& dir) {
    try {
        load_manifest(dir.path());
    } catch (const ManifestError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(Manifest, ReadsTheFiveFields) {
    TempDir dir;
    write_file(dir / "norva-sim.toml",
               "name = \"cart\"\ndescription = \"A cart\"\ntype = \"sim-docker\"\n"
               "version = \"0.2.0\"\ncommand = [\"python3\", \"sim.py\", \"--fast\"]\n");
    auto manifest = load_manifest(dir.path());
    EXPECT_EQ(manifest.name, "cart");
    EXPECT_EQ(manifest.description, "A cart");
    EXPECT_EQ(manifest.type, "sim-docker");
    EXPECT_EQ(manifest.version, "0.2.0");
    EXPECT_EQ(manifest.command, (std::vector<std::string>{"python3", "sim.py", "--fast"}));
    EXPECT_EQ(manifest.instances, 1u) << "one environment a process unless it says more";
}

TEST(Manifest, InstancesAreAWholeNumberFromOneTo1024) {
    TempDir dir;
    std::string file = dir / "norva-sim.toml";
    std::string head = "name = \"cart\"\ntype = \"sim\"\nversion = \"1\"\ncommand = [\"x\"]\n";
    write_file(file, head + "instances = 64\n");
    EXPECT_EQ(load_manifest(dir.path()).instances, 64u);
    EXPECT_TRUE(load_manifest(dir.path()).unknown_keys.empty());
    for (const char* wrong : {"0", "1025", "2.0", "\"64\"", "-1"}) {
        write_file(file, head + "instances = " + wrong + "\n");
        EXPECT_EQ(refusal(dir), file +
                                    ": the field 'instances' must be a whole number from 1 to "
                                    "1024: the environments one process of the simulator holds")
            << wrong;
    }
}

TEST(Manifest, NamesTheFileAndTheFieldThatIsWrong) {
    TempDir dir;
    EXPECT_EQ(refusal(dir), "No norva-sim.toml in " + dir.path().string() +
                                "; a sim folder describes itself there (see `norva sim new`)");
    std::string file = dir / "norva-sim.toml";
    std::string head = "name = \"cart\"\ntype = \"sim\"\nversion = \"1\"\n";

    write_file(file, head);
    EXPECT_EQ(refusal(dir), file +
                                ": the field 'command' is missing; it names the simulator "
                                "program, for example command = [\"python3\", \"sim.py\"]");
    write_file(file, head + "command = []\n");
    EXPECT_NE(refusal(dir).find(file + ": the field 'command' must be a non-empty list of texts"),
              std::string::npos);
    write_file(file, head + "command = \"python3 sim.py\"\n");
    EXPECT_NE(refusal(dir).find("'command' must be a non-empty list"), std::string::npos);
    write_file(file, "name = \"cart\"\ntype = \"game\"\nversion = \"1\"\ncommand = [\"x\"]\n");
    EXPECT_EQ(refusal(dir),
              file + ": the field 'type' must be \"sim\" or start with \"sim-\", not \"game\"");
    write_file(file, "type = \"sim\"\nversion = \"1\"\ncommand = [\"x\"]\n");
    EXPECT_EQ(refusal(dir), file + ": the field 'name' is missing");
    write_file(file, "name = 3\ntype = \"sim\"\nversion = \"1\"\ncommand = [\"x\"]\n");
    EXPECT_EQ(refusal(dir), file + ": the field 'name' must be a text");
    write_file(file, "name = \"cart\ntype = \"sim\"\n");
    EXPECT_NE(refusal(dir).find(file + " is not valid TOML (line 1"), std::string::npos);
}

TEST(Manifest, NamesKeysItDoesNotKnowAndTheKnownOneAMisspellingResembles) {
    TempDir dir;
    std::string file = dir / "norva-sim.toml";
    write_file(file, "name = \"cart\"\ntype = \"sim\"\nversion = \"1\"\ncomand = [\"sim\"]\n");
    EXPECT_EQ(refusal(dir), file +
                                ": the field 'command' is missing; it names the simulator "
                                "program, for example command = [\"python3\", \"sim.py\"]; the "
                                "manifest has 'comand': did you mean 'command'?");
    write_file(file,
               "name = \"cart\"\ntype = \"sim\"\nversion = \"1\"\ncommand = [\"sim\"]\n"
               "decsription = \"A cart\"\nlicense = \"MIT\"\n");
    auto unknown = load_manifest(dir.path()).unknown_keys;
    ASSERT_EQ(unknown.size(), 2u);
    EXPECT_EQ(unknown[0].key, "decsription");
    EXPECT_EQ(unknown[0].resembles, "description");
    EXPECT_EQ(unknown[1].key, "license");
    EXPECT_EQ(unknown[1].resembles, std::nullopt);
}

TEST(Manifest, MessagesQuoteAHugeValueCutShort) {
    TempDir dir;
    std::string huge(10'000'000, 'x');
    write_file(dir / "norva-sim.toml", "name = \"cart\"\ntype = \"box-" + huge +
                                           "\"\nversion = \"1\"\ncommand = [\"sim\"]\n");
    auto message = refusal(dir);
    EXPECT_LT(message.size(), 1500u);
    EXPECT_NE(message.find("… (10000004 bytes)"), std::string::npos) << message.substr(0, 200);
}

}  // namespace
