#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "kestrel/group.h"

namespace {

struct ConnectValues {
    std::optional<std::string> name, organization_id, managed;
    bool called = false;
};

// Parses a compute command line and returns what `connect` received.
ConnectValues parse_connect(std::vector<std::string> args) {
    ConnectValues values;
    kestrel::Commands commands;
    commands.connect = [&](auto name, auto organization_id, auto managed) {
        values = {name, organization_id, managed, true};
    };
    auto group = kestrel::cli(commands);
    args.insert(args.begin(), "connect");
    std::reverse(args.begin(), args.end());
    group->parse(args);
    return values;
}

}  // namespace

TEST(ComputeConnectOptions, ManagedAbsentGivesNothing) {
    auto values = parse_connect({});
    EXPECT_TRUE(values.called);
    EXPECT_EQ(values.name, std::nullopt);
    EXPECT_EQ(values.organization_id, std::nullopt);
    EXPECT_EQ(values.managed, std::nullopt);
}

TEST(ComputeConnectOptions, ManagedBareAsLastTokenGivesEmptyText) {
    EXPECT_EQ(parse_connect({"--managed"}).managed, "");
}

TEST(ComputeConnectOptions, ManagedFollowedByAnotherOptionGivesEmptyText) {
    auto values = parse_connect({"--managed", "--name", "box1"});
    EXPECT_EQ(values.managed, "");
    EXPECT_EQ(values.name, "box1");
}

TEST(ComputeConnectOptions, ManagedTakesAFollowingValue) {
    EXPECT_EQ(parse_connect({"--managed", "./grants.csv"}).managed, "./grants.csv");
    EXPECT_EQ(parse_connect({"--managed", "-"}).managed, "-");
}

TEST(ComputeConnectOptions, ManagedWithEqualsTakesTheValueEvenWhenEmpty) {
    EXPECT_EQ(parse_connect({"--managed=g.csv"}).managed, "g.csv");
    EXPECT_EQ(parse_connect({"--managed="}).managed, "");
}

TEST(ComputeConnectOptions, HiddenOptionsAreAccepted) {
    auto values =
        parse_connect({"--organization-id", "org-1", "--managed", "x.csv", "--name", "n"});
    EXPECT_EQ(values.organization_id, "org-1");
    EXPECT_EQ(values.managed, "x.csv");
    EXPECT_EQ(values.name, "n");
}

TEST(ComputeConnectOptions, UnknownOptionsAndSurplusArgumentsAreUsageErrors) {
    EXPECT_THROW(parse_connect({"--bogus"}), CLI::ParseError);
    EXPECT_THROW(parse_connect({"surplus"}), CLI::ParseError);
    EXPECT_THROW(parse_connect({"--managed", "-x"}), CLI::ParseError);
}

TEST(ComputeCommands, ProjectAndDisconnectAcceptNoOptions) {
    int project_calls = 0;
    kestrel::Commands commands;
    commands.project = [&] { ++project_calls; };
    commands.disconnect = [] {};
    auto group = kestrel::cli(commands);
    group->parse("project", false);
    EXPECT_EQ(project_calls, 1);
    EXPECT_THROW(kestrel::cli(commands)->parse("project --name x", false), CLI::ParseError);
    EXPECT_THROW(kestrel::cli(commands)->parse("disconnect now", false), CLI::ParseError);
}

TEST(ComputeConstants, PortsInTheirOrder) {
    ASSERT_EQ(kestrel::REQUIRED_PORTS.size(), 2u);
    EXPECT_EQ(kestrel::REQUIRED_PORTS[0].first, 8000);
    EXPECT_EQ(kestrel::REQUIRED_PORTS[0].second, "compute service");
    EXPECT_EQ(kestrel::REQUIRED_PORTS[1].first, 8888);
    EXPECT_EQ(kestrel::REQUIRED_PORTS[1].second, "SeaweedFS filer");
}
