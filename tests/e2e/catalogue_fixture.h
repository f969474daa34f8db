#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "compute_fixture.h"

namespace norva_test {

// The sim commands against the fake platform, with an organization to pick (answer "1") and a
// temporary folder of their own, so that leftovers show.
class CatalogueTest : public testing::Test {
  protected:
    CatalogueTest() : platform(test_ca()) {
        sandbox.set_env("NORVA_API_URL", platform.url());
        sandbox.set_env("NORVA_CA_BUNDLE", test_ca().ca_file());
        sandbox.set_env("NORVA_TOKEN", "user-token");
        std::filesystem::create_directories(temp());
        sandbox.set_env("TMPDIR", temp());
        platform.on("GET", "/v1/organizations", {200, R"([{"uuid":"org-1","name":"Acme"}])"});
    }

    std::string temp() const { return sandbox.dir() / "tmp"; }

    NorvaSandbox sandbox;
    FakePlatform platform;
};

}  // namespace norva_test
