#include <gtest/gtest.h>

#include "plover/catalogue.h"
#include "plover/commands.h"
#include "temp_dir.h"
#include "test_sims.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(ValidateRoutine, PublishingValidatesWithoutPrinting) {
    norva_test::TempDir dir;
    auto good = norva_test::write_test_sim(dir.path(), "good").string();
    auto faulty = norva_test::write_test_sim(dir.path(), "outside").string();

    CaptureStdout();
    EXPECT_NO_THROW(plover::_validate(good, std::nullopt, "grpc", false));
    try {
        plover::_validate(faulty, std::nullopt, "grpc", false);
        ADD_FAILURE() << "a faulty sim must fail";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Validation failed");
    }
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(ValidateRoutine, ChoosesThePathOverTheAddressUnlessThePathIsEmpty) {
    norva_test::TempDir dir;
    auto good = norva_test::write_test_sim(dir.path(), "good").string();
    // The address is not even read when a path is given.
    EXPECT_NO_THROW(plover::_validate(good, std::string("no address"), "grpc", false));
    try {
        plover::_validate(std::string(""), std::string("nowhere"), "grpc", false);
        ADD_FAILURE() << "the address should have been tried";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()).rfind("'nowhere' is not a sim folder", 0), 0u);
    }
    EXPECT_THROW(plover::_validate(std::nullopt, std::nullopt), std::invalid_argument);
}

}  // namespace

namespace {

TEST(SimType, PlainSimsAreZipsAndEverySimPrefixGoes) {
    EXPECT_EQ(plover::_sim_type("sim"), "zip");
    EXPECT_EQ(plover::_sim_type("sim-docker"), "docker");
    EXPECT_EQ(plover::_sim_type("sim-sim-x"), "x");
    EXPECT_EQ(plover::_sim_type("custom"), "custom");
    EXPECT_EQ(plover::_sim_type("simsim-"), "sim");
}

std::vector<std::string> versions_in_order(const nlohmann::ordered_json& sim) {
    std::vector<std::string> order;
    for (const auto& version : plover::_newest_first(sim)) {
        order.push_back(plover::_version_text(version) + version.value("tag", ""));
    }
    return order;
}

TEST(VersionOrder, NewestFirstByNumberStableAndNonNumbersLast) {
    auto sim = nlohmann::ordered_json::parse(R"json({"versions": [
        {"version": "2"}, {"version": "10"}, {"version": "x"}, {"version": 3},
        {"version": "9", "tag": "a"}, {}, {"version": " 9 ", "tag": "b"}, {"version": "9", "tag": "c"}
    ]})json");
    EXPECT_EQ(versions_in_order(sim),
              (std::vector<std::string>{"10", "9a", " 9 b", "9c", "3", "2", "1", "x"}));
    EXPECT_TRUE(plover::_newest_first(nlohmann::ordered_json::object()).empty());
    EXPECT_TRUE(plover::_newest_first({{"versions", nullptr}}).empty());
    EXPECT_THROW(plover::_newest_first({{"versions", "1"}}), std::invalid_argument);
}

}  // namespace
