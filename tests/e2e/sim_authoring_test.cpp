#include <gtest/gtest.h>

#include <filesystem>

#include "norva_runner.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using norva_test::NorvaSandbox;
using norva_test::read_file;

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SimNew, TakesEveryValueFromTheCommandLineWithoutAsking) {
    NorvaSandbox sandbox;
    auto result = sandbox.run(
        {"sim", "new", "--name", "a", "--description", "b", "--location", "c", "--docker"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("Name ["), std::string::npos) << result.err;
    fs::path project = sandbox.dir().path() / "c/a";
    EXPECT_EQ(names_in(project),
              (std::vector<std::string>{".norvaignore", "Dockerfile", "README.md", "norva-sim.toml",
                                        "sim.py"}));
    EXPECT_EQ(read_file(project / "norva-sim.toml"),
              "name = \"a\"\ndescription = \"b\"\ntype = \"sim-docker\"\nversion = \"0.1.0\"\n"
              "command = [\"python3\", \"sim.py\"]\n");
    auto dockerfile = read_file(project / "Dockerfile");
    EXPECT_NE(dockerfile.find("FROM norva/sim-runtime"), std::string::npos);
    EXPECT_NE(dockerfile.find("COPY . /sim"), std::string::npos);
    EXPECT_NE(dockerfile.find("\"run\", \"/sim\", \"--host\", \"0.0.0.0\", \"--port\", \"1337\""),
              std::string::npos);
    EXPECT_NE(read_file(project / "README.md").find("# a\n\nb\n"), std::string::npos);
}

TEST(SimNew, ThreeEmptyAnswersGiveTheDefaultsAndTheTemplateValidatesAndBenchmarks) {
    NorvaSandbox sandbox;
    auto result = sandbox.run({"sim", "new"}, "\n\n\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Name [my-sim]: Description [A demo sim]: Location [./]: "),
              std::string::npos)
        << result.err;
    fs::path project = sandbox.dir().path() / "my-sim";
    EXPECT_FALSE(fs::exists(project / "Dockerfile"));
    auto manifest = read_file(project / "norva-sim.toml");
    EXPECT_NE(manifest.find("name = \"my-sim\"\ndescription = \"A demo sim\"\ntype = \"sim\"\n"),
              std::string::npos)
        << manifest;

    auto validated = sandbox.run({"sim", "validate", "my-sim"});
    EXPECT_EQ(validated.status, 0) << validated.err;
    EXPECT_EQ(validated.out, "Validation found no issues.\n");
    auto measured = sandbox.run({"sim", "benchmark", "my-sim", "--samples", "300"});
    EXPECT_EQ(measured.status, 0) << measured.err;
    EXPECT_EQ(measured.out.rfind("Samples per second: ", 0), 0u) << measured.out;
}

TEST(SimNew, TextsThatTomlMustEscapeStayIntact) {
    NorvaSandbox sandbox;
    auto result = sandbox.run({"sim", "new", "-n", "quoted", "-d", "say \"hi\" \\ bye", "-l", "."});
    ASSERT_EQ(result.status, 0) << result.err;
    auto validated = sandbox.run({"sim", "validate", "quoted"});
    EXPECT_EQ(validated.status, 0) << validated.out << validated.err;
    EXPECT_NE(read_file(sandbox.dir().path() / "quoted/norva-sim.toml")
                  .find(R"(description = "say \"hi\" \\ bye")"),
              std::string::npos);
}

TEST(SimNew, RefusesBadNamesAndExistingFoldersWritingNothing) {
    NorvaSandbox sandbox;
    fs::path root = sandbox.dir().path();
    fs::create_directories(root / "here/taken");
    norva_test::write_file(root / "here/taken/mine.txt", "keep");

    struct Case {
        std::string name;
        std::string message;
    };
    for (const auto& [name, message] :
         std::vector<Case>{{"taken", "Error: The folder here/taken already exists.\n"},
                           {"a/b", "Error: The sim name 'a/b' must not hold a path separator.\n"},
                           {"", "Error: The sim name must not be empty.\n"},
                           {"..", "Error: The sim name '..' is not a folder name.\n"}}) {
        auto result = sandbox.run({"sim", "new", "-n", name, "-d", "x", "-l", "here"});
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(names_in(root / "here"), std::vector<std::string>{"taken"}) << name;
    }
    EXPECT_EQ(read_file(root / "here/taken/mine.txt"), "keep");

    norva_test::write_file(root / "afile", "");
    auto not_a_folder = sandbox.run({"sim", "new", "-n", "x", "-d", "x", "-l", "afile"});
    EXPECT_EQ(not_a_folder.status, 1);
    EXPECT_EQ(not_a_folder.err, "Error: Cannot create the sim in afile: Not a directory.\n");
}

}  // namespace
