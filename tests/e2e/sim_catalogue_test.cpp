#include <gtest/gtest.h>

#include <filesystem>

#include "archive_listing.h"
#include "catalogue_fixture.h"
#include "test_sims.h"

namespace {

namespace fs = std::filesystem;
using norva_test::ordered_json;
using norva_test::RecordedRequest;
using norva_test::RunResult;

class CatalogueTest : public norva_test::CatalogueTest {
  protected:
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        for (const auto& request : platform.requests()) {
            lines.push_back(request.method + " " + request.path +
                            (request.query.empty() ? "" : "?" + request.query));
        }
        return lines;
    }

    std::optional<RecordedRequest> upload() const {
        for (const auto& request : platform.requests()) {
            if (request.path.ends_with("/implementations")) {
                return request;
            }
        }
        return std::nullopt;
    }
};

// Texts found in this order in the output.
void expect_in_order(const std::string& output, const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const auto& text : texts) {
        auto found = output.find(text, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << text << "\n" << output;
        at = found + text.size();
    }
}

// The table's rows, each cell trimmed; the header row first.
std::vector<std::vector<std::string>> table_rows(const std::string& output) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("│", 0) != 0) {
            continue;
        }
        std::vector<std::string> cells;
        std::size_t start = std::string("│").size();
        for (auto bar = line.find("│", start); bar != std::string::npos;
             start = bar + std::string("│").size(), bar = line.find("│", start)) {
            std::string cell = line.substr(start, bar - start);
            cell.erase(0, cell.find_first_not_of(' '));
            cell.erase(cell.find_last_not_of(' ') + 1);
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

class PublishTest : public CatalogueTest {
  protected:
    PublishTest() {
        sim = norva_test::write_test_sim(sandbox.dir().path(), "good");
        fs::create_directories(sim / "data");
        fs::create_directories(sim / ".git");
        fs::create_directories(sim / "__pycache__");
        norva_test::write_file(sim / "data/table.csv", "a,b\n");
        norva_test::write_file(sim / ".git/HEAD", "ref\n");
        norva_test::write_file(sim / "__pycache__/x.pyc", "");
        norva_test::write_file(sim / "run.log", "noise");
        norva_test::write_file(sim / ".norvaignore", "*.log\n");
        fs::create_symlink("data/table.csv", sim / "table.csv");
    }

    void existing_sim() {
        platform.on("GET", "/v1/organizations/org-1/sims?name=test-sim",
                    {200, R"([{"id":"s-1","name":"test-sim"}])"});
        platform.on("POST", "/v1/organizations/org-1/sims/s-1/implementations", {201, "{}"});
    }

    void set_type(const std::string& type) {
        auto manifest = norva_test::read_file(sim / "norva-sim.toml");
        auto at = manifest.find("type = ");
        auto end = manifest.find('\n', at);
        norva_test::write_file(sim / "norva-sim.toml",
                               manifest.replace(at, end - at, "type = \"" + type + "\""));
    }

    RunResult publish(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"sim", "publish"});
        return sandbox.run(args, "1\n");
    }

    fs::path sim;
};

TEST_F(PublishTest, ANewSimIsCreatedThenItsFolderUploaded) {
    platform.on("GET", "/v1/organizations/org-1/sims", {200, "[]"});
    platform.on("POST", "/v1/organizations/org-1/sims", {201, R"({"id":"s-9"})"});
    platform.on("POST", "/v1/organizations/org-1/sims/s-9/implementations", {201, "{}"});
    auto faulty = norva_test::write_test_sim(sandbox.dir().path(), "crash");

    auto result = publish({faulty, "--path", sim});
    ASSERT_EQ(result.status, 0) << result.err;
    expect_in_order(result.err,
                    {"Validating the sim...", "Simulator validated successfully!",
                     "Preparing to publish the simulator...", "Publishing the simulator...",
                     "Simulator published successfully!"});
    EXPECT_NE(result.err.find("Select an Organization:"), std::string::npos) << result.err;
    EXPECT_EQ(requests(),
              (std::vector<std::string>{"GET /v1/organizations",
                                        "GET /v1/organizations/org-1/sims?name=test-sim",
                                        "POST /v1/organizations/org-1/sims",
                                        "POST /v1/organizations/org-1/sims/s-9/implementations"}));
    EXPECT_EQ(ordered_json::parse(platform.requests()[2].body),
              (ordered_json{{"name", "test-sim"}, {"description", "A test simulator"}}));

    auto sent = upload();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->form["type"], "zip");
    auto entries = norva_test::archive_entries(sent->form["file"]);
    std::map<std::string, std::string> expected{
        {".norvaignore", "*.log\n"},
        {"data/", "<folder>"},
        {"data/table.csv", "a,b\n"},
        {"norva-sim.toml", norva_test::read_file(sim / "norva-sim.toml")},
        {"table.csv", "-> data/table.csv"},
    };
    EXPECT_EQ(entries, expected);
    EXPECT_TRUE(fs::is_empty(temp())) << "the archive's folder must be gone";
}

TEST_F(PublishTest, AnExistingSimGetsNoCreationAndTheTypeLosesItsSimPrefixes) {
    existing_sim();
    for (const auto& [type, sent_type] : std::vector<std::pair<std::string, std::string>>{
             {"sim-docker", "docker"}, {"sim-sim-x", "x"}}) {
        set_type(type);
        auto before = platform.requests().size();
        auto result = publish({sim});
        ASSERT_EQ(result.status, 0) << result.err;
        auto all = requests();
        EXPECT_EQ(std::vector<std::string>(all.begin() + before, all.end()),
                  (std::vector<std::string>{
                      "GET /v1/organizations", "GET /v1/organizations/org-1/sims?name=test-sim",
                      "POST /v1/organizations/org-1/sims/s-1/implementations"}));
        EXPECT_EQ(platform.requests().back().form["type"], sent_type);
    }
}

TEST_F(PublishTest, AFailingPlatformStepIsShownAndLeavesNoArchive) {
    for (const auto& failing :
         {"GET /v1/organizations/org-1/sims?name=test-sim", "POST /v1/organizations/org-1/sims",
          "POST /v1/organizations/org-1/sims/s-9/implementations"}) {
        platform.on("GET", "/v1/organizations/org-1/sims?name=test-sim", {200, "[]"});
        platform.on("POST", "/v1/organizations/org-1/sims", {201, R"({"id":"s-9"})"});
        platform.on("POST", "/v1/organizations/org-1/sims/s-9/implementations", {201, "{}"});
        std::string request = failing;
        auto space = request.find(' ');
        platform.on(request.substr(0, space), request.substr(space + 1), {500, "storage full"});

        auto result = publish({sim});
        EXPECT_EQ(result.status, 1) << failing;
        auto path = request.substr(space + 4, request.find('?') - space - 4);
        EXPECT_NE(result.err.find("Error: Platform request failed: " + request.substr(0, space) +
                                  " " + path),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("(500): storage full"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("Simulator published successfully!"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(temp())) << failing;
    }
}

TEST_F(PublishTest, AFolderFailingValidationIsNeitherPackagedNorSent) {
    auto faulty = norva_test::write_test_sim(sandbox.dir().path(), "outside");
    auto result = publish({faulty});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Error: Validation failed"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Preparing to publish the simulator..."), std::string::npos);
    EXPECT_EQ(result.err.find("Select an Organization:"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("error"), std::string::npos) << "issues are not listed";
    EXPECT_TRUE(platform.requests().empty());
    EXPECT_TRUE(fs::is_empty(temp()));
}

TEST_F(PublishTest, ACancelledOrganizationChoiceEndsBeforePackaging) {
    auto result = sandbox.run({"sim", "publish", sim}, "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("No organization selected."), std::string::npos) << result.out;
    EXPECT_EQ(result.err.find("Preparing to publish the simulator..."), std::string::npos);
    EXPECT_EQ(requests(), std::vector<std::string>{"GET /v1/organizations"});
    EXPECT_TRUE(fs::is_empty(temp()));
}

TEST_F(CatalogueTest, ListShowsEachSimsNewestVersionByNumber) {
    platform.on("GET", "/v1/organizations/org-1/sims", {200, R"json([
        {"name": "alpha", "description": "first", "id": "a-1", "versions": [
            {"version": "2", "configuration_status": "READY"},
            {"version": "10", "configuration_status": "BUILDING"},
            {"version": "9", "configuration_status": "FAILED"}]},
        {"name": "beta", "description": "second", "id": "b-2", "versions": [{"version": 3}]},
        {"name": "gamma", "description": "third", "id": "g-3", "versions": []},
        {"versions": [{"version": "draft", "configuration_status": "ODD"},
                      {"version": "4", "configuration_status": "READY"}]}
    ])json"});
    auto result = sandbox.run({"sim", "list"}, "1\n");
    ASSERT_EQ(result.status, 0) << result.err;
    using Row = std::vector<std::string>;
    EXPECT_EQ(table_rows(result.out),
              (std::vector<Row>{{"Name", "Version", "Description", "Status", "UUID"},
                                {"alpha", "10", "first", "BUILDING", "a-1"},
                                {"beta", "3", "second", "UNKNOWN", "b-2"},
                                {"gamma", "1", "third", "Unknown", "g-3"},
                                {"Unknown", "4", "Unknown", "READY", "Unknown"}}));
}

TEST_F(CatalogueTest, ListOfAnOrganizationWithoutSimsIsTheHeaderOnly) {
    platform.on("GET", "/v1/organizations/org-1/sims", {200, "[]"});
    auto result = sandbox.run({"sim", "list"}, "1\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(table_rows(result.out), (std::vector<std::vector<std::string>>{
                                          {"Name", "Version", "Description", "Status", "UUID"}}));
}

TEST_F(CatalogueTest, APlatformThatCannotBeReachedIsNamedWithItsAddress) {
    auto address = "https://127.0.0.1:" + std::to_string(norva_test::free_port());
    sandbox.set_env("NORVA_API_URL", address);
    auto result = sandbox.run({"sim", "list"}, "1\n");
    EXPECT_EQ(result.status, 1);
    auto expected = "Error: Could not reach the NORVA platform at " + address + ": ";
    EXPECT_EQ(result.err.rfind(expected, 0), 0u) << result.err;
    EXPECT_GT(result.err.size(), expected.size() + 1) << "the reason is missing";
}

TEST_F(CatalogueTest, LocalListShowsSimImagesWithoutThePlatform) {
    sandbox.docker_scenario(
        {{"rules",
          {{{"args_prefix", {"images"}},
            {"stdout",
             R"({"Repository":"norva/my-sim","CreatedAt":"2026-12-01 10:00:00 +0000 UTC"})"
             "\n"}}}}});
    auto result = sandbox.run({"sim", "list", "--local"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(table_rows(result.out),
              (std::vector<std::vector<std::string>>{
                  {"Sim Name", "Docker URL", "Version"},
                  {"my-sim", "norva/my-sim", "2026-12-01 10:00:00 +0000 UTC"}}));
    EXPECT_TRUE(platform.requests().empty());
    auto calls = sandbox.docker_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["args"][0], "images");
}

TEST_F(CatalogueTest, ListAsJsonGivesTheValuesAsReceived) {
    platform.on("GET", "/v1/organizations/org-1/sims", {200, R"json([
        {"name": "alpha", "description": "first [b]", "id": "a-1", "versions": [
            {"version": "2", "configuration_status": "READY"},
            {"version": "10", "configuration_status": "BUILDING"}]},
        {"id": 7, "versions": []}
    ])json"});
    auto result = sandbox.run({"sim", "list", "--json"}, "1\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ordered_json::parse(result.out), ordered_json::parse(R"([
                  {"name": "alpha", "version": "10", "description": "first [b]",
                   "status": "BUILDING", "uuid": "a-1"},
                  {"name": null, "version": null, "description": null, "status": null,
                   "uuid": 7}])"));

    sandbox.docker_scenario(
        {{"rules",
          {{{"args_prefix", {"images"}},
            {"stdout", R"({"Repository":"norva/my-sim","CreatedAt":"2026-12-01 10:00:00"})"
                       "\n"}}}}});
    auto local = sandbox.run({"sim", "list", "--local", "--json"});
    ASSERT_EQ(local.status, 0) << local.err;
    EXPECT_EQ(ordered_json::parse(local.out),
              ordered_json::parse(R"([{"name": "my-sim", "image": "norva/my-sim",
                                       "version": "2026-12-01 10:00:00"}])"));
}

class RetrieveTest : public CatalogueTest {
  protected:
    RetrieveTest() {
        platform.on("GET", "/v1/organizations/org-1/sims",
                    {200, R"([{"name":"walker","id":"w-1"},{"name":"cart","id":42}])"});
    }

    void versions(const std::string& json) {
        platform.on("GET", "/v1/organizations/org-1/sims/42",
                    {200, R"({"versions":)" + json + "}"});
    }

    RunResult retrieve() { return sandbox.run({"sim", "retrieve"}, "1\n2\n"); }
};

constexpr const char* image_data =
    R"({"login_server":"reg.norva.dev","image_name":"acme/cart","tag":"v10","username":"bot",)"
    R"("password":"s3cr'et"})";

TEST_F(RetrieveTest, PrintsTheNewestVersionsImageAndRegistryAuth) {
    versions(std::string(R"([{"version":"1","data_json":{"tag":"old"}},)") +
             R"({"version":"10","data_json":)" + image_data + R"(},)" +
             R"({"version":"2","data_json":{"tag":"older"}}])");
    auto result = retrieve();
    ASSERT_EQ(result.status, 0) << result.err;
    expect_in_order(result.err, {"Select a Sim:", "walker (uuid: w-1)", "cart (uuid: 42)"});
    expect_in_order(result.out,
                    {"Selected sim: cart (uuid: 42)\n", "Image: reg.norva.dev/acme/cart:v10\n",
                     "Registry auth: {'username': 'bot', 'password': \"s3cr'et\", "
                     "'serveraddress': 'reg.norva.dev'}\n"});
    EXPECT_EQ(requests().back(), "GET /v1/organizations/org-1/sims/42");
}

TEST_F(RetrieveTest, ANewestVersionWithoutImageDataIsStillBuilding) {
    versions(std::string(R"([{"version":"1","data_json":)") + image_data +
             R"(},{"version":"2","data_json":{}}])");
    auto result = retrieve();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Sim is building. Please try again in a moment."), std::string::npos);
    EXPECT_EQ(result.out.find("Image:"), std::string::npos) << "older versions are never used";
}

TEST_F(RetrieveTest, ASimWithoutVersionsSaysSo) {
    versions("[]");
    auto result = retrieve();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Selected sim: cart (uuid: 42)\nNo versions found for this sim\n"),
              std::string::npos)
        << result.out;
}

TEST_F(RetrieveTest, ImageDataWithoutAKeyIsAClearError) {
    versions(R"([{"version":"3","data_json":{"login_server":"r","image_name":"i","username":"u",)"
             R"("password":"p"}}])");
    auto result = retrieve();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Error: The sim's image data has no text \"tag\""), std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("Image:"), std::string::npos);
}

TEST_F(RetrieveTest, AnEmptyOrganizationAndACancelledMenuEndWithAMessage) {
    auto cancelled = sandbox.run({"sim", "retrieve"}, "1\n\n");
    EXPECT_EQ(cancelled.status, 1);
    EXPECT_NE(cancelled.out.find("No sim selected."), std::string::npos) << cancelled.out;
    EXPECT_EQ(requests().back(), "GET /v1/organizations/org-1/sims");

    platform.on("GET", "/v1/organizations/org-1/sims", {200, "[]"});
    auto empty = sandbox.run({"sim", "retrieve"}, "1\n");
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_NE(empty.out.find("This organization has no sims yet."), std::string::npos);
    EXPECT_EQ(empty.err.find("Select a Sim:"), std::string::npos);
}

}  // namespace
