#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "plover/commands.h"
#include "plover/conversions.h"
#include "plover/group.h"
#include "stdin_feed.h"

namespace {

using plover::Values;

// Parses one command line of the sim group and gives the values handed to the command's entry.
std::optional<Values> parsed(std::vector<std::string> args) {
    std::optional<Values> got;
    auto keep = [&](const Values& values) { got = values; };
    auto group =
        plover::cli({keep, keep, keep, keep, keep, keep, keep, keep, keep, keep, keep, keep, keep});
    std::reverse(args.begin(), args.end());
    group->parse(args);
    return got;
}

// The command's parameters left out arrive as its table says: texts as their fallback (or
// nothing given), flags on only where the fallback says so.
void expect_fallbacks(const plover::CommandTable& table, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(table.name));
    auto values = parsed(args);
    ASSERT_TRUE(values) << table.name;
    for (const auto& parameter : table.parameters) {
        auto name = parameter.names.substr(0, parameter.names.find(','));
        if (parameter.required) {
            continue;
        }
        if (parameter.form == plover::Form::text) {
            EXPECT_EQ(values->given(name), std::nullopt) << table.name << " " << name;
            EXPECT_EQ(values->text(name), parameter.fallback.value_or("")) << name;
        } else {
            EXPECT_EQ(values->flag(name), parameter.fallback == "on") << table.name << " " << name;
        }
    }
}

}  // namespace

TEST(SimCommands, ParametersLeftOutArriveAsTheirTablesSay) {
    for (const auto* table :
         {&plover::VALIDATE_COMMAND, &plover::BENCHMARK_COMMAND, &plover::NEW_COMMAND,
          &plover::RUN_COMMAND, &plover::PUBLISH_COMMAND, &plover::LIST_COMMAND,
          &plover::RETRIEVE_COMMAND, &plover::STOP_COMMAND, &plover::STATUS_COMMAND,
          &plover::INFO_COMMAND, &plover::MAPPINGS_COMMAND}) {
        expect_fallbacks(*table, {});
    }
    expect_fallbacks(plover::START_COMMAND, {"cartpole"});
    expect_fallbacks(plover::LOGS_COMMAND, {"cartpole"});
}

TEST(SimCommands, ATableAnswersToEachOfAParametersNames) {
    EXPECT_EQ(plover::RUN_COMMAND.parameter("-h").names, "-h,--host");
    EXPECT_EQ(plover::RUN_COMMAND.parameter("--host").names, "-h,--host");
    EXPECT_EQ(plover::LIST_COMMAND.parameter("--no-local").names, "--local,!--no-local");
    EXPECT_THROW(plover::RUN_COMMAND.parameter("--hots"), std::logic_error);
}

TEST(SimPathRule, PathOptionWinsOverThePositional) {
    auto chosen = [](std::vector<std::string> args) {
        auto values = parsed(std::move(args));
        return plover::_final_path(values->given("PATH"), values->given("--path"));
    };
    EXPECT_EQ(chosen({"validate", "./a", "--path", "./b"}), "./b");
    EXPECT_EQ(chosen({"validate", "./a"}), "./a");
    EXPECT_EQ(chosen({"validate"}), std::nullopt);
}

TEST(SimValidate, ShortNames) {
    auto values = parsed({"validate", "-a", "localhost:1337", "-p", "http"});
    EXPECT_EQ(values->given("--address"), "localhost:1337");
    EXPECT_EQ(values->text("--protocol"), "http");
}

TEST(SimRun, HostShortNameAndEveryOption) {
    auto values = parsed({"run", "sims/a", "-h", "127.0.0.1", "--port", "9000", "-e", R"({"a":1})",
                          "-p", "http", "--max-sessions", "4", "--session-timeout", "30",
                          "--metrics-port", "9100"});
    std::vector<std::string> got;
    for (const auto* name : {"PATH", "--host", "--port", "--env-init", "--protocol",
                             "--max-sessions", "--session-timeout", "--metrics-port"}) {
        got.push_back(values->text(name));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"sims/a", "127.0.0.1", "9000", R"({"a":1})", "http",
                                             "4", "30", "9100"}));
    EXPECT_EQ(values->given("--path"), std::nullopt);
    EXPECT_THROW(parsed({"run", "-h"}), CLI::ParseError) << "-h takes a host";
    EXPECT_THROW(parsed({"run", "--help"}), CLI::CallForHelp);
}

TEST(SimBenchmark, SamplesArriveAsTextAndTheConversionRejectsNonNumbers) {
    auto values = parsed({"benchmark", "-s", "abc", "-p", "./sim", "--latency", "--warmup", "3"});
    EXPECT_EQ(values->text("--samples"), "abc");
    EXPECT_EQ(values->given("--path"), "./sim");
    EXPECT_EQ(values->given("--warmup"), "3");
    EXPECT_TRUE(values->flag("--latency"));
    EXPECT_THROW(plover::_to_whole_number("--samples", "abc"), std::invalid_argument);
    EXPECT_THROW(plover::_to_whole_number("--samples", "12x"), std::invalid_argument);
    EXPECT_THROW(plover::_to_whole_number("--samples", ""), std::invalid_argument);
    EXPECT_EQ(plover::_to_whole_number("--samples", "250"), 250);
}

TEST(SimRun, EnvInitMustBeAJsonObject) {
    EXPECT_EQ(plover::_to_mapping("--env-init", R"({"a":1})")["a"], 1);
    EXPECT_THROW(plover::_to_mapping("--env-init", "[1]"), std::invalid_argument);
    EXPECT_THROW(plover::_to_mapping("--env-init", "{oops"), std::invalid_argument);
}

TEST(SimNew, AsksNothingWhenEverythingIsGiven) {
    auto values = parsed({"new", "--name", "a", "--description", "b", "--location", "c"});
    norva_test::StdinFeed no_answers("");
    testing::internal::CaptureStderr();
    auto texts = plover::_asked_texts(*values);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(texts, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(values->flag("--docker"));
}

TEST(SimNew, AsksForWhatIsMissingInOrderAndEmptyTakesTheDefault) {
    {
        auto values = parsed({"new"});
        norva_test::StdinFeed answers("cart\n\nsims\n");
        testing::internal::CaptureStderr();
        auto texts = plover::_asked_texts(*values);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Name [my-sim]: Description [A demo sim]: Location [./]: ");
        EXPECT_EQ(texts, (std::vector<std::string>{"cart", "A demo sim", "sims"}));
    }
    {
        auto values = parsed({"new", "-n", "x", "-l", "y"});
        norva_test::StdinFeed answers("\n");
        testing::internal::CaptureStderr();
        auto texts = plover::_asked_texts(*values);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Description [A demo sim]: ");
        EXPECT_EQ(texts, (std::vector<std::string>{"x", "A demo sim", "y"}));
    }
}

TEST(SimNew, DockerIsAPlainFlagWithoutANegativeForm) {
    EXPECT_TRUE(parsed({"new", "-n", "a", "-d", "b", "-l", "c", "--docker"})->flag("--docker"));
    EXPECT_THROW(parsed({"new", "-n", "a", "-d", "b", "-l", "c", "--no-docker"}), CLI::ParseError);
}

TEST(SimContainers, RequiredPositionalsAreUsageErrors) {
    EXPECT_THROW(parsed({"start"}), CLI::RequiredError);
    EXPECT_THROW(parsed({"logs"}), CLI::RequiredError);
}

TEST(SimContainers, OnOffPairsHaveTheirNegations) {
    auto values = parsed({"start", "cartpole", "--no-enable-historian", "--stream", "--show-name"});
    EXPECT_EQ(values->text("SIM_CONTAINER"), "cartpole");
    EXPECT_EQ((std::vector<bool>{values->flag("--enable-historian"), values->flag("--stream"),
                                 values->flag("--show-name")}),
              (std::vector<bool>{false, true, true}));
    EXPECT_FALSE(parsed({"logs", "c", "--stream", "--no-stream"})->flag("--stream"))
        << "the last one counts";
}

TEST(SimListAndStatus, OptionalTextsAndPairs) {
    EXPECT_TRUE(parsed({"list", "--local"})->flag("--local"));
    auto status = parsed({"status", "--sim-name", "cart", "--moniker", "--json"});
    EXPECT_EQ(status->given("--sim-name"), "cart");
    EXPECT_TRUE(status->flag("--moniker"));
    EXPECT_TRUE(status->flag("--json"));
    EXPECT_EQ(parsed({"stop", "--sim-id", "abc"})->given("--sim-id"), "abc");
}

TEST(SimInfoAndMappings, TextsAsGiven) {
    auto info = parsed({"info", "--address", "localhost:1337", "--env-id", "Pendulum-v1"});
    EXPECT_EQ((std::vector<std::string>{info->text("--address"), info->text("--name"),
                                        info->text("--env-id")}),
              (std::vector<std::string>{"localhost:1337", "", "Pendulum-v1"}));
    auto mappings = parsed({"mappings", "--image", "norva/cart"});
    EXPECT_EQ(mappings->given("--image"), "norva/cart");
    EXPECT_EQ(mappings->given("--address"), std::nullopt);
}
