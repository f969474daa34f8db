#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "norva_core/settings.h"

namespace {

namespace settings = norva_core::settings;
using settings::Key;
using namespace std::chrono_literals;

// Sets a variable for one test and restores what was there.
class ScopedVariable {
  public:
    ScopedVariable(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        ::setenv(name_.c_str(), value, 1);
    }
    ~ScopedVariable() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

struct Row {
    std::string variable, meaning, fallback;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.variable << " | " << row.meaning << " | " << row.fallback;
}

std::vector<Row> readme_rows() {
    std::ifstream file(NORVA_README);
    std::stringstream text;
    text << file.rdbuf();
    std::string readme = text.str();
    auto start = readme.find("| variable | meaning | default |");
    std::istringstream table(readme.substr(start, readme.find("\n\n", start) - start));
    std::regex row(R"(^\| `([A-Z_]+)` \| (.*) \| (.*) \|$)");
    std::vector<Row> rows;
    for (std::string line; std::getline(table, line);) {
        if (std::smatch match; std::regex_match(line, match, row)) {
            rows.push_back({match[1], match[2], match[3]});
        }
    }
    return rows;
}

TEST(Settings, TheReadmeTableIsTheProgramsTable) {
    std::vector<Row> program;
    for (const auto& entry : settings::table()) {
        program.push_back(
            {std::string(entry.variable), std::string(entry.meaning), std::string(entry.fallback)});
    }
    EXPECT_EQ(readme_rows(), program);
}

TEST(Settings, LimitsComeFromTheirVariableOrTheTable) {
    EXPECT_EQ(settings::seconds_limit(Key::platform_stall_limit), 60s);
    ScopedVariable stall("NORVA_PLATFORM_STALL_LIMIT", "0.25");
    EXPECT_EQ(settings::seconds_limit(Key::platform_stall_limit), 250ms);
    ScopedVariable empty("NORVA_REGISTRATION_LIMIT", "");
    EXPECT_EQ(settings::seconds_limit(Key::registration_limit), 15s);
}

TEST(Settings, ALimitThatIsNoPositiveNumberIsNamed) {
    for (const char* wrong : {"soon", "-1", "0", "10s", "nan", "1e300"}) {
        ScopedVariable limit("NORVA_SIM_START_LIMIT", wrong);
        try {
            settings::seconds_limit(Key::sim_start_limit);
            ADD_FAILURE() << wrong << " was taken";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(),
                      "NORVA_SIM_START_LIMIT must be a positive number of seconds, "
                      "not '" +
                          std::string(wrong) + "'");
        }
    }
}

}  // namespace
