#include <gtest/gtest.h>

#include <cmath>

#include "norva_core/json_input.h"
#include "norva_core/space.h"
#include "norva_core/space_util.h"
#include "sim/common/wire_json.h"
#include "sim/space/space_precision.h"

namespace {

using Json = nlohmann::ordered_json;
using norva_core::Space;

Space space(const std::string& text) {
    return Space::from_json(Json::parse(text));
}

std::string refusal(const std::string& text) {
    try {
        space(text);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "accepted";
}

TEST(SpaceText, FollowsTheFamiliarForms) {
    EXPECT_EQ(
        space(R"({"type":"box","low":-1.0,"high":1.0,"shape":[3],"dtype":"float32"})").to_string(),
        "Box(-1.0, 1.0, (3,), float32)");
    EXPECT_EQ(space(R"({"type":"box","low":[0,-2.5],"high":5,"shape":[2]})").to_string(),
              "Box([0.0 -2.5], 5.0, (2,), float32)");
    EXPECT_EQ(
        space(R"({"type":"box","low":0,"high":255,"shape":[2,2],"dtype":"uint8"})").to_string(),
        "Box(0, 255, (2, 2), uint8)");
    EXPECT_EQ(space(R"({"type":"discrete","n":3})").to_string(), "Discrete(3)");
    EXPECT_EQ(space(R"({"type":"discrete","n":3,"start":1})").to_string(), "Discrete(3, start=1)");
    EXPECT_EQ(space(R"({"type":"multi_discrete","nvec":[2,3]})").to_string(),
              "MultiDiscrete([2 3])");
    EXPECT_EQ(space(R"({"type":"multi_binary","n":4})").to_string(), "MultiBinary(4)");
    EXPECT_EQ(space(R"({"type":"dict","spaces":{"y":{"type":"discrete","n":2},
                        "x":{"type":"tuple","spaces":[{"type":"multi_binary","n":1}]}}})")
                  .to_string(),
              "Dict('y': Discrete(2), 'x': Tuple(MultiBinary(1)))");
}

TEST(SpaceDescription, RefusesMalformedSpacesSayingWhere) {
    EXPECT_EQ(refusal(R"({"type":"box","low":0,"high":1})"),
              "a box needs 'shape', a list of sizes such as [3]");
    EXPECT_EQ(refusal(R"({"type":"box","low":[0,1],"high":1,"shape":[3]})"),
              "'low' must be a number or an array of shape [3]");
    EXPECT_EQ(refusal(R"({"type":"box","low":2,"high":1,"shape":[1]})"),
              "'low' must not be above 'high' (element 0: low 2.0, high 1.0)");
    EXPECT_EQ(refusal(R"({"type":"dict","spaces":{"a":{"type":"discrete","n":0}}})"),
              "'a': 'n' must be a whole number of at least 1");
    EXPECT_EQ(refusal(R"({"type":"tuple","spaces":[{"type":"discrete","n":2},{"type":"cube"}]})"),
              "[1]: unknown space type 'cube' (known: box, discrete, multi_discrete, "
              "multi_binary, dict, tuple)");
    EXPECT_EQ(refusal(R"([1,2])"), "a space must be an object with a 'type'");
}

TEST(SpaceMembership, ChecksShapeBoundsAndKinds) {
    auto box = space(R"({"type":"box","low":[-1,0],"high":[1,2],"shape":[2]})");
    EXPECT_TRUE(box.contains(Json::parse("[0.5, 2.0]")));
    EXPECT_FALSE(box.contains(Json::parse("[-1.5, 1.0]")));
    EXPECT_FALSE(box.contains(Json::parse("[0.5]")));
    EXPECT_FALSE(box.contains(Json::parse("[[0.5], [1]]")));
    EXPECT_FALSE(box.contains(Json::parse(R"(["a", 1])")));
    EXPECT_FALSE(box.contains(norva_core::sim::wire_json::parse("[NaN, 1]")));

    auto whole = space(R"({"type":"box","low":0,"high":9,"shape":[],"dtype":"int64"})");
    EXPECT_TRUE(whole.contains(Json(3)));
    EXPECT_FALSE(whole.contains(Json(3.5)));

    auto discrete = space(R"({"type":"discrete","n":3,"start":-1})");
    EXPECT_TRUE(discrete.contains(Json(-1)));
    EXPECT_TRUE(discrete.contains(Json(1)));
    EXPECT_FALSE(discrete.contains(Json(2)));

    auto nested = space(R"({"type":"dict","spaces":{"a":{"type":"multi_binary","n":2},
                          "b":{"type":"multi_discrete","nvec":[2,3]}}})");
    EXPECT_TRUE(nested.contains(Json::parse(R"({"b":[1,2],"a":[0,1]})")));
    EXPECT_FALSE(nested.contains(Json::parse(R"({"a":[0,1]})")));
    EXPECT_FALSE(nested.contains(Json::parse(R"({"a":[0,2],"b":[1,2]})")));
    EXPECT_FALSE(nested.contains(Json::parse(R"({"a":[0,1],"b":[2,0]})")));
}

TEST(SpaceMembership, NamesWhereAndWhyAValueIsNoMember) {
    auto robot = space(R"({"type":"dict","spaces":{
        "position":{"type":"box","low":-20,"high":20,"shape":[2]},
        "gear":{"type":"discrete","n":3},
        "lights":{"type":"multi_binary","n":2},
        "arm":{"type":"tuple","spaces":[{"type":"box","low":0,"high":1,"shape":[2,2]}]}}})");
    auto why = [&](const std::string& text, norva_core::Bounds bounds) {
        auto value = norva_core::sim::wire_json::parse(text);
        return robot.mismatch(value, "observation", bounds).value_or("member");
    };
    auto checked = [&](const std::string& text) { return why(text, norva_core::Bounds::checked); };
    const std::string arm = R"("arm":[[[0,0],[0,0]]])";
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":0,"lights":[0,1],)" + arm + "}"), "member");
    EXPECT_EQ(checked(R"({"position":[1],"gear":0,"lights":[0,1],)" + arm + "}"),
              "position: shape (1,) where (2,) is declared");
    EXPECT_EQ(checked(R"({"position":[30.0,2],"gear":0,"lights":[0,1],)" + arm + "}"),
              "position[0]: 30.0 above high 20.0");
    EXPECT_EQ(checked(R"({"position":[1,NaN],"gear":0,"lights":[0,1],)" + arm + "}"),
              "position[1]: NaN");
    EXPECT_EQ(checked(R"({"position":[1,"a"],"gear":0,"lights":[0,1],)" + arm + "}"),
              "position[1]: a string where a number is declared");
    EXPECT_EQ(checked(R"({"position":3,"gear":0,"lights":[0,1],)" + arm + "}"),
              "position: 3 where a list of shape (2,) is declared");
    EXPECT_EQ(checked(R"({"position":[1,2],"lights":[0,1],)" + arm + "}"), "gear: missing");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":1.5,"lights":[0,1],)" + arm + "}"),
              "gear: 1.5 where a whole number is declared");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":3,"lights":[0,1],)" + arm + "}"),
              "gear: 3 outside the values 0 to 2");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":0,"lights":[0,2],)" + arm + "}"),
              "lights[1]: 2 where 0 or 1 is declared");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":0,"lights":[0,1],"arm":[[[0,0],[0]]]})"),
              "arm[0][1]: a list of 1 where 2 values are declared");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":0,"lights":[0,1],"arm":[]})"),
              "arm: 0 items where 1 are declared");
    EXPECT_EQ(checked(R"({"position":[1,2],"gear":0,"lights":[0,1],"wheel":1,)" + arm + "}"),
              "wheel: not declared");
    EXPECT_EQ(checked("[1, 2]"), "observation: a list of 2 where an object is declared");

    // Served actions rely on the simulator to clip: only structure, NaN and whole-number ranges
    // count then.
    auto ignored = [&](const std::string& text) { return why(text, norva_core::Bounds::ignored); };
    EXPECT_EQ(ignored(R"({"position":[30.0,2],"gear":0,"lights":[0,1],)" + arm + "}"), "member");
    EXPECT_EQ(ignored(R"({"position":[NaN,2],"gear":0,"lights":[0,1],)" + arm + "}"),
              "position[0]: NaN");
    EXPECT_EQ(ignored(R"({"position":[1,2],"gear":7,"lights":[0,1],)" + arm + "}"),
              "gear: 7 outside the values 0 to 2");
}

TEST(SpaceSampling, GivesMembersAndRepeatsForASeed) {
    for (const char* description :
         {R"({"type":"box","low":-1,"high":1,"shape":[2,3]})",
          R"({"type":"box","low":0,"high":1e308,"shape":[4],"dtype":"float64"})",
          R"({"type":"box","low":[0,-100],"high":[0.5,-99],"shape":[2],"dtype":"int32"})",
          R"({"type":"tuple","spaces":[{"type":"discrete","n":5,"start":10},
              {"type":"multi_discrete","nvec":[1,7]},{"type":"multi_binary","n":3}]})"}) {
        auto sampled = space(description);
        for (std::uint64_t seed = 0; seed < 50; ++seed) {
            ASSERT_TRUE(sampled.contains(sampled.sample(seed)))
                << description << " " << sampled.sample(seed).dump();
        }
        EXPECT_EQ(sampled.sample(7), sampled.sample(7));
    }
    auto box = space(R"({"type":"box","low":-1,"high":1,"shape":[8]})");
    EXPECT_NE(box.sample(1), box.sample(2));
}

TEST(SpaceVariables, OneEntryPerLeafNamedByKeyOrIndex) {
    auto description = norva_core::sim::wire_json::parse(R"(
        {"type":"dict","spaces":{
          "pos":{"type":"box","low":[-1,-Infinity],"high":1,"shape":[2]},
          "gear":{"type":"discrete","n":3,"start":1},
          "arm":{"type":"dict","spaces":{"grip":{"type":"multi_binary","n":1}}}}})");
    auto variables = norva_core::space_util::convert_space_to_json(Space::from_json(description));
    EXPECT_EQ(variables, Json::parse(R"([
        {"name":"pos.0","type":"float","low":-1.0,"high":1.0},
        {"name":"pos.1","type":"float","high":1.0},
        {"name":"gear","type":"int","low":1,"high":3},
        {"name":"arm.grip.0","type":"bool"}])"));

    auto tuple = norva_core::space_util::convert_space_to_json(space(
        R"({"type":"tuple","spaces":[{"type":"box","low":0,"high":3,"shape":[],"dtype":"int8"},
            {"type":"multi_discrete","nvec":[4]}]})"));
    EXPECT_EQ(tuple, Json::parse(R"([{"name":"0","type":"int","low":0,"high":3},
                                     {"name":"1.0","type":"int","low":0,"high":3}])"));
    EXPECT_EQ(norva_core::space_util::convert_space_to_json(space(R"({"type":"discrete","n":2})")),
              Json::parse(R"([{"name":"0","type":"int","low":0,"high":1}])"));
}

TEST(SpacePrecision, FindsNumbersAFloat32CannotHoldButNotTheShortestFormsOfFloat32s) {
    auto box = space(R"({"type":"dict","spaces":{"p":{"type":"box","low":-1,"high":1,"shape":[3]},)"
                     R"("x":{"type":"box","low":-1,"high":1,"shape":[1],"dtype":"float64"}}})");
    auto inexact = [&](const std::string& value) {
        auto found = norva_core::sim::first_inexact_value(box, Json::parse(value), "obs");
        return found ? found->place : "none";
    };
    // 0.1 is how a float32 0.1f is written; 0.10000000149011612 is that float32 in full.
    EXPECT_EQ(inexact(R"({"p":[0.1,0.10000000149011612,-0.5],"x":[0.30000000000000004]})"), "none");
    // Sums a float64 computed, which no float32 is written as.
    EXPECT_EQ(inexact(R"({"p":[0.5,0.30000000000000004,0.1]})"), "p[1]");
    EXPECT_EQ(inexact(R"({"p":[0.5,0.25,0.7853981633974483]})"), "p[2]");
}

TEST(WireJson, CarriesNonFiniteNumbersBothWays) {
    using norva_core::sim::wire_json::dump;
    using norva_core::sim::wire_json::parse;
    auto value = parse(R"({"r":NaN,"s":"NaN Infinity","v":[Infinity,-Infinity,1.5]})");
    EXPECT_TRUE(std::isnan(value["r"].get<double>()));
    EXPECT_EQ(value["s"], "NaN Infinity");
    EXPECT_EQ(value["v"][1].get<double>(), -INFINITY);
    EXPECT_EQ(dump(value), R"({"r":NaN,"s":"NaN Infinity","v":[Infinity,-Infinity,1.5]})");
    EXPECT_THROW(parse("{\"r\": NaNa}"), norva_core::json_input::InputError);
    EXPECT_THROW(parse("not json"), norva_core::json_input::InputError);
}

// The reader of simulators' answers gives what parse gives, value for value and error for error.
TEST(WireJson, TheReaderOfAnswersReadsAsParseDoes) {
    namespace wire_json = norva_core::sim::wire_json;
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    wire_json::Reader reader;
    for (const std::string& text :
         {std::string(R"({"b":1,"a":[1.5,-2,18446744073709551615,1e-3],"s":"\u00e9\n","n":null})"),
          std::string(R"({"k":1,"k":2,"j":true})"), std::string(R"({"r":NaN,"v":[-Infinity]})"),
          std::string("123456789012345678901234567890"), std::string("-0"), std::string("[]"),
          nested(256), std::string(300000, ' ') + "[1]"}) {
        auto expected = wire_json::parse(text);
        auto read = reader.parse(text);
        EXPECT_EQ(wire_json::dump(read), wire_json::dump(expected)) << text.substr(0, 80);
        EXPECT_EQ(read.type(), expected.type()) << text.substr(0, 80);
    }
    for (const std::string& text : {nested(257), std::string("1e400"), std::string("[1,"),
                                    std::string("\"\xff\""), std::string("{\"r\": NaNa}")}) {
        std::string expected;
        try {
            wire_json::parse(text);
        } catch (const norva_core::json_input::InputError& error) {
            expected = error.what();
        }
        ASSERT_FALSE(expected.empty()) << text;
        try {
            reader.parse(text);
            ADD_FAILURE() << "read " << text.substr(0, 80);
        } catch (const norva_core::json_input::InputError& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }
}

TEST(OutsideJson, NestingIsBoundedWhereverItHides) {
    using norva_core::json_input::parse;
    auto nested = [](int depth, const std::string& open, const std::string& close) {
        std::string text;
        for (int i = 0; i < depth; ++i) {
            text += open;
        }
        for (int i = 0; i < depth; ++i) {
            text += close;
        }
        return text;
    };
    EXPECT_EQ(parse(nested(256, "[", "]")).dump().size(), 512u);
    for (const auto& deep : {nested(257, "[", "]"), nested(100000, "{\"a\":", "}")}) {
        try {
            parse(deep);
            ADD_FAILURE() << "read " << deep.size() << " bytes of nesting";
        } catch (const norva_core::json_input::InputError& error) {
            EXPECT_STREQ(error.what(), "nested deeper than 256 levels");
        }
    }
    // Brackets inside strings are text, escaped quotes included.
    EXPECT_NO_THROW(parse("[\"" + std::string(1000, '[') + "\\\"\"]"));
    EXPECT_THROW(norva_core::sim::wire_json::parse(nested(300, "[", "]")),
                 norva_core::json_input::InputError);
    EXPECT_THROW(parse("[1,"), norva_core::json_input::InputError);
}

TEST(SpaceDescription, RefusesSpacesWhoseValuesWouldExhaustMemory) {
    const std::string limit = "a value of this space would hold more than 16777216 elements";
    EXPECT_EQ(refusal(R"({"type":"box","low":0,"high":1,"shape":[100000,100000]})"), limit);
    // Sizes whose product overflows 64 bits.
    EXPECT_EQ(refusal(R"({"type":"box","low":0,"high":1,"shape":[4294967296,4294967296,16]})"),
              limit);
    EXPECT_EQ(refusal(R"({"type":"multi_binary","n":20000000})"), limit);
    // The parts add up.
    EXPECT_EQ(refusal(R"({"type":"tuple","spaces":[
        {"type":"box","low":0,"high":1,"shape":[4096,4096]},{"type":"discrete","n":2}]})"),
              "[1]: " + limit);
    std::string many_sizes = "1";
    for (int i = 0; i < 64; ++i) {
        many_sizes += ",1";
    }
    EXPECT_EQ(refusal(R"({"type":"box","low":0,"high":1,"shape":[)" + many_sizes + "]}"),
              "'shape' may have at most 64 sizes");
    EXPECT_NO_THROW(space(R"({"type":"box","low":0,"high":1,"shape":[4096,4096]})"));
}

}  // namespace
