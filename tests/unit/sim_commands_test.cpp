#include <gtest/gtest.h>

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
