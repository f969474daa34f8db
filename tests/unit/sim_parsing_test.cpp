#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "plover/conversions.h"
#include "plover/group.h"
#include "stdin_feed.h"

namespace {

void parse(plover::Commands commands, std::vector<std::string> args) {
    auto group = plover::cli(std::move(commands));
    std::reverse(args.begin(), args.end());
    group->parse(args);
}

}  // namespace

TEST(SimPathRule, PathOptionWinsOverThePositional) {
    std::optional<std::string> chosen;
    plover::Commands commands;
    commands.validate = [&](auto path, auto path_option, auto, auto, bool) {
        chosen = plover::_final_path(path, path_option);
    };
    parse(commands, {"validate", "./a", "--path", "./b"});
    EXPECT_EQ(chosen, "./b");
    parse(commands, {"validate", "./a"});
    EXPECT_EQ(chosen, "./a");
    parse(commands, {"validate"});
    EXPECT_EQ(chosen, std::nullopt);
}

TEST(SimValidate, DefaultsAndShortNames) {
    std::optional<std::string> address;
    std::string protocol;
    plover::Commands commands;
    commands.validate = [&](auto, auto, auto a, auto p, bool) {
        address = a;
        protocol = p;
    };
    parse(commands, {"validate", "x"});
    EXPECT_EQ(protocol, "grpc");
    parse(commands, {"validate", "-a", "localhost:1337", "-p", "http"});
    EXPECT_EQ(address, "localhost:1337");
    EXPECT_EQ(protocol, "http");
}

TEST(SimRun, DefaultsAndHostShortName) {
    std::vector<std::string> got;
    plover::Commands commands;
    commands.run = [&](auto path, auto path_option, auto host, auto port, auto protocol,
                       auto env_init, auto max_sessions, auto session_timeout, auto) {
        got = {path,
               path_option.value_or("<none>"),
               host,
               port,
               protocol,
               env_init,
               max_sessions.value_or("<none>"),
               session_timeout.value_or("<none>")};
    };
    parse(commands, {"run"});
    EXPECT_EQ(got, (std::vector<std::string>{"./", "<none>", "0.0.0.0", "1337", "grpc", "{}",
                                             "<none>", "<none>"}));
    parse(commands, {"run", "sims/a", "-h", "127.0.0.1", "--port", "9000", "-e", R"({"a":1})", "-p",
                     "http", "--max-sessions", "4", "--session-timeout", "30"});
    EXPECT_EQ(got, (std::vector<std::string>{"sims/a", "<none>", "127.0.0.1", "9000", "http",
                                             R"({"a":1})", "4", "30"}));
}

TEST(SimBenchmark, SamplesArriveAsTextAndTheConversionRejectsNonNumbers) {
    std::string samples;
    std::optional<std::string> path;
    plover::Commands commands;
    commands.benchmark = [&](auto, auto path_option, auto, auto s, auto, bool, bool) {
        samples = s;
        path = path_option;
    };
    parse(commands, {"benchmark"});
    EXPECT_EQ(samples, "1000");
    parse(commands, {"benchmark", "-s", "abc", "-p", "./sim"});
    EXPECT_EQ(samples, "abc");
    EXPECT_EQ(path, "./sim");
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
    std::vector<std::string> got;
    bool docker = true;
    plover::Commands commands;
    commands.new_ = [&](auto name, auto description, auto location, bool is_docker) {
        got = {name, description, location};
        docker = is_docker;
    };
    norva_test::StdinFeed no_answers("");
    testing::internal::CaptureStderr();
    parse(commands, {"new", "--name", "a", "--description", "b", "--location", "c"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(docker);
}

TEST(SimNew, AsksForWhatIsMissingInOrderAndEmptyTakesTheDefault) {
    std::vector<std::string> got;
    plover::Commands commands;
    commands.new_ = [&](auto name, auto description, auto location, bool) {
        got = {name, description, location};
    };
    {
        norva_test::StdinFeed answers("cart\n\nsims\n");
        testing::internal::CaptureStderr();
        parse(commands, {"new"});
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Name [my-sim]: Description [A demo sim]: Location [./]: ");
        EXPECT_EQ(got, (std::vector<std::string>{"cart", "A demo sim", "sims"}));
    }
    {
        norva_test::StdinFeed answers("\n");
        testing::internal::CaptureStderr();
        parse(commands, {"new", "-n", "x", "-l", "y"});
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Description [A demo sim]: ");
        EXPECT_EQ(got, (std::vector<std::string>{"x", "A demo sim", "y"}));
    }
}

TEST(SimNew, DockerIsAPlainFlagWithoutANegativeForm) {
    bool docker = false;
    plover::Commands commands;
    commands.new_ = [&](auto, auto, auto, bool is_docker) { docker = is_docker; };
    parse(commands, {"new", "-n", "a", "-d", "b", "-l", "c", "--docker"});
    EXPECT_TRUE(docker);
    EXPECT_THROW(parse(commands, {"new", "-n", "a", "-d", "b", "-l", "c", "--no-docker"}),
                 CLI::ParseError);
}

TEST(SimContainers, RequiredPositionalsAreUsageErrors) {
    plover::Commands commands;
    commands.start = [](auto, bool, bool, bool) {};
    commands.logs = [](auto, bool) {};
    EXPECT_THROW(parse(commands, {"start"}), CLI::RequiredError);
    EXPECT_THROW(parse(commands, {"logs"}), CLI::RequiredError);
}

TEST(SimContainers, OnOffPairsHaveTheirDefaultsAndNegations) {
    std::vector<bool> flags;
    std::string container;
    plover::Commands commands;
    commands.start = [&](auto name, bool historian, bool stream, bool show_name) {
        container = name;
        flags = {historian, stream, show_name};
    };
    parse(commands, {"start", "cartpole"});
    EXPECT_EQ(container, "cartpole");
    EXPECT_EQ(flags, (std::vector<bool>{true, false, false}));
    parse(commands, {"start", "cartpole", "--no-enable-historian", "--stream", "--show-name"});
    EXPECT_EQ(flags, (std::vector<bool>{false, true, true}));
}

TEST(SimListAndStatus, OptionalTextsAndPairs) {
    bool local = true;
    std::optional<std::string> sim_name = "unset";
    bool moniker = true;
    std::optional<std::string> sim_id = "unset";
    plover::Commands commands;
    commands.list = [&](bool l, bool) { local = l; };
    commands.status = [&](auto name, bool m, bool) {
        sim_name = name;
        moniker = m;
    };
    commands.stop = [&](auto id) { sim_id = id; };
    parse(commands, {"list"});
    EXPECT_FALSE(local);
    parse(commands, {"list", "--local"});
    EXPECT_TRUE(local);
    parse(commands, {"status"});
    EXPECT_EQ(sim_name, std::nullopt);
    EXPECT_FALSE(moniker);
    parse(commands, {"status", "--sim-name", "cart", "--moniker"});
    EXPECT_EQ(sim_name, "cart");
    EXPECT_TRUE(moniker);
    parse(commands, {"stop"});
    EXPECT_EQ(sim_id, std::nullopt);
    parse(commands, {"stop", "--sim-id", "abc"});
    EXPECT_EQ(sim_id, "abc");
}

TEST(SimInfoAndMappings, TextsDefaultToEmptyOrNothing) {
    std::vector<std::string> info_values;
    std::optional<std::string> image = "unset", address = "unset";
    plover::Commands commands;
    commands.info = [&](auto a, auto n, auto e, bool) { info_values = {a, n, e}; };
    commands.mappings = [&](auto i, auto a) {
        image = i;
        address = a;
    };
    parse(commands, {"info"});
    EXPECT_EQ(info_values, (std::vector<std::string>{"", "", ""}));
    parse(commands, {"info", "--address", "localhost:1337", "--env-id", "Pendulum-v1"});
    EXPECT_EQ(info_values, (std::vector<std::string>{"localhost:1337", "", "Pendulum-v1"}));
    parse(commands, {"mappings", "--image", "norva/cart"});
    EXPECT_EQ(image, "norva/cart");
    EXPECT_EQ(address, std::nullopt);
}
