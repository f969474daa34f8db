#include "sim/space/packed.h"

#include <gtest/gtest.h>

#include "sim/remote/packed_replies.h"
#include "sim/serve/listener.h"
#include "sim/serve/vector_messages.h"

#include <cstring>

namespace {

using norva_core::sim::packed::Dtype;
using norva_core::sim::packed::Json;
using norva_core::sim::packed::Layout;
using norva_core::sim::packed::Tensor;

Layout layout(const char* space) {
    return Layout(Json::parse(space));
}

// Values of every kind of space come back from their tensors as they went in.
TEST(Packed, EveryKindOfSpaceRoundTrips) {
    auto space = layout(R"({"type": "dict", "spaces": {
        "position": {"type": "box", "low": -10, "high": 10, "shape": [2, 2], "dtype": "float64"},
        "gear": {"type": "discrete", "n": 3},
        "parts": {"type": "tuple", "spaces": [{"type": "multi_discrete", "nvec": [2, 3]},
                                              {"type": "multi_binary", "n": 3}]},
        "level": {"type": "box", "low": 0, "high": 255, "shape": [1], "dtype": "uint8"},
        "small": {"type": "box", "low": -1, "high": 1, "shape": [], "dtype": "float16"},
        "tiny": {"type": "box", "low": -100, "high": 100, "shape": [2], "dtype": "int8"}}})");
    std::vector<std::string> names;
    for (const auto& leaf : space.leaves()) {
        names.push_back(leaf.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"position", "gear", "parts.0", "parts.1", "level",
                                               "small", "tiny"}));
    std::vector<Json> values{
        Json::parse(R"({"position": [[1.5, -2.25], [3e-5, 9.0]], "gear": 2,
                        "parts": [[1, 2], [0, 1, 1]], "level": [255], "small": 0.5,
                        "tiny": [-100, 7]})"),
        Json::parse(R"({"tiny": [0, 0], "gear": 0, "position": [[0, 0], [0, 0]],
                        "parts": [[0, 0], [1, 0, 0]], "level": [3], "small": -1.0})")};
    auto tensors = space.zeros(2);
    for (std::size_t row = 0; row < 2; ++row) {
        EXPECT_EQ(space.put(tensors, row, values[row]), std::nullopt) << row;
    }
    EXPECT_EQ(tensors[0].shape, (std::vector<std::uint64_t>{2, 2, 2}));
    EXPECT_EQ(tensors[1].dtype, Dtype::int64);
    EXPECT_EQ(tensors[3].dtype, Dtype::int8);
    EXPECT_EQ(tensors[5].data.size(), 2 * 2u) << "two float16 values";
    space.check(tensors, 2);
    // The second row's keys came in another order; they come back in the space's.
    auto first = space.get(tensors, 0);
    EXPECT_EQ(first.dump(), Json::parse(R"({"position": [[1.5, -2.25], [3e-5, 9.0]], "gear": 2,
        "parts": [[1, 2], [0, 1, 1]], "level": [255], "small": 0.5, "tiny": [-100, 7]})")
                                .dump());
    EXPECT_EQ(space.get(tensors, 1).at("position"), Json::parse("[[0.0, 0.0], [0.0, 0.0]]"));
    EXPECT_EQ(space.get(tensors, 1).at("small"), -1.0);
}

TEST(Packed, Float16IsRoundedToTheNearest) {
    auto space =
        layout(R"({"type": "box", "low": -1, "high": 1, "shape": [6], "dtype": "float16"})");
    auto tensors = space.zeros(1);
    ASSERT_EQ(space.put(tensors, 0, Json::parse("[1.0, 0.1, 65504, 65519, 1e-8, -2.5e-7]")),
              std::nullopt);
    std::uint16_t halves[6];
    std::memcpy(halves, tensors[0].data.data(), sizeof halves);
    EXPECT_EQ(halves[0], 0x3c00);
    EXPECT_EQ(halves[1], 0x2e66);
    EXPECT_EQ(halves[2], 0x7bff) << "the largest half";
    EXPECT_EQ(halves[3], 0x7bff) << "rounded down to it";
    EXPECT_EQ(halves[4], 0x0000) << "below the smallest subnormal, zero";
    EXPECT_EQ(halves[5], 0x8004) << "a negative subnormal";
    auto back = space.get(tensors, 0);
    EXPECT_NEAR(back[1].get<double>(), 0.1, 1e-4);
    EXPECT_EQ(back[2].get<double>(), 65504.0);
}

// A value that does not fit says where, and leaves its row zero; the others keep theirs.
TEST(Packed, WhatDoesNotFitIsNamedAndLeavesItsRowZero) {
    auto space = layout(R"({"type": "dict", "spaces": {
        "position": {"type": "box", "low": -1, "high": 1, "shape": [2]},
        "level": {"type": "box", "low": 0, "high": 9, "shape": [1], "dtype": "uint8"},
        "gear": {"type": "discrete", "n": 3}}})");
    auto good = Json::parse(R"({"position": [0.5, 0.5], "level": [1], "gear": 1})");
    struct Case {
        const char* value;
        const char* why;
    };
    for (const auto& [value, why] : {
             Case{R"({"position": [1, 2, 3], "level": [1], "gear": 1})",
                  "position: not of the declared shape (2,)"},
             Case{R"({"position": [1, "x"], "level": [1], "gear": 1})",
                  "position: \"x\" where a number is declared"},
             Case{R"({"position": [1, 2], "level": [300], "gear": 1})",
                  "level: 300 where a whole number of uint8 is declared"},
             Case{R"({"position": [1, 2], "level": [-1], "gear": 1})",
                  "level: -1 where a whole number of uint8 is declared"},
             Case{R"({"position": [1, 2], "level": [1], "gear": 1.5})",
                  "gear: 1.5 where a whole number of int64 is declared"},
             Case{R"({"position": [1, 2], "level": [1]})", "gear: missing"},
             Case{R"([1, 2])", "the value: a list where a dict is declared"},
         }) {
        auto tensors = space.zeros(2);
        ASSERT_EQ(space.put(tensors, 1, good), std::nullopt);
        EXPECT_EQ(space.put(tensors, 0, Json::parse(value)), why) << value;
        EXPECT_EQ(space.get(tensors, 0), Json::parse(R"({"position": [0.0, 0.0], "level": [0],
                                                         "gear": 0})"))
            << value;
        EXPECT_EQ(space.get(tensors, 1), good);
    }
    auto pointed = space.zeros(1);
    EXPECT_EQ(
        space.put(pointed, 0, Json::parse(R"({"position": [1, 2], "level": [1.0], "gear": 2.0})")),
        std::nullopt)
        << "whole numbers written with a point are whole";
}

// A finite number that a float dtype would round to infinity is one it cannot hold; infinity
// itself it holds.
TEST(Packed, NumbersPastAFloatDtypesRangeAreRefused) {
    auto space = layout(R"({"type": "dict", "spaces": {
        "single": {"type": "box", "low": -1, "high": 1, "shape": [1]},
        "half": {"type": "box", "low": -1, "high": 1, "shape": [1], "dtype": "float16"},
        "double": {"type": "box", "low": -1, "high": 1, "shape": [1], "dtype": "float64"}}})");
    struct Case {
        const char* value;
        std::optional<std::string> why;
    };
    for (const auto& [value, why] : {
             Case{R"({"single": [1e300], "half": [0], "double": [1e300]})",
                  "single: 1e+300 is beyond what float32 holds"},
             Case{R"({"single": [-3.5e38], "half": [0], "double": [0]})",
                  "single: -3.5e+38 is beyond what float32 holds"},
             Case{R"({"single": [0], "half": [70000], "double": [0]})",
                  "half: 70000 is beyond what float16 holds"},
             Case{R"({"single": [0], "half": [-65520], "double": [0]})",
                  "half: -65520 is beyond what float16 holds"},
             Case{R"({"single": [3.4028235e38], "half": [65504], "double": [1.7e308]})",
                  std::nullopt},
             Case{R"({"single": [Infinity], "half": [-Infinity], "double": [NaN]})", std::nullopt},
         }) {
        auto tensors = space.zeros(1);
        EXPECT_EQ(space.put(tensors, 0, norva_core::sim::wire_json::parse(value)), why) << value;
    }
}

TEST(Packed, TensorsOfAnotherLayoutAreRefusedNamingWhatDiffers) {
    auto space = layout(R"({"type": "box", "low": -1, "high": 1, "shape": [2]})");
    auto refusal = [&](const std::vector<Tensor>& tensors) {
        try {
            space.check(tensors, 3);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    Tensor right{"", Dtype::float32, {3, 2}, std::string(3 * 2 * 4, '\0')};
    EXPECT_EQ(refusal({right}), "accepted");
    Tensor wide = right;
    wide.dtype = Dtype::float64;
    wide.data.resize(3 * 2 * 8);
    EXPECT_EQ(refusal({wide}), "accepted") << "another float dtype is read as it is";
    Tensor short_rows = right;
    short_rows.shape = {2, 2};
    EXPECT_EQ(refusal({short_rows}), "the tensor has the shape (2, 2) where (3, 2) is declared");
    Tensor truncated = right;
    truncated.data.resize(5);
    EXPECT_EQ(refusal({truncated}), "the tensor holds 5 bytes where 6 values of float32 take 24");
    EXPECT_EQ(refusal({}), "0 tensors where the space has 1 leaves");
    auto discrete = layout(R"({"type": "discrete", "n": 4})");
    std::vector<Tensor> floats{Tensor{"", Dtype::float32, {3}, std::string(12, '\0')}};
    EXPECT_THROW(discrete.check(floats, 3), std::invalid_argument);
}

}  // namespace

namespace {

using norva_core::sim::PackedForm;
using norva_core::sim::PackedReplies;
using norva_core::sim::SimulatorError;
using norva_core::sim::SlotAnswer;

// What a server packs, norva's clients read back as the JSON answer would have held it, and the
// actions they pack the server reads as the JSON list would have held them.
TEST(PackedReplies, AServersArraysReadBackAsItsJsonAnswers) {
    auto sensor = Json::parse(R"({"type": "dict", "spaces": {
        "position": {"type": "box", "low": -10, "high": 10, "shape": [2], "dtype": "float64"},
        "gear": {"type": "discrete", "n": 3}}})");
    auto action = Json::parse(R"({"type": "box", "low": -1, "high": 1, "shape": [2]})");
    PackedForm form{Layout(sensor), norva_core::sim::packed::action_layout(action), 3};
    std::vector<SlotAnswer> answers(3);
    answers[0].result = Json::parse(R"({"observation": {"position": [0.5, -1.25], "gear": 2},
        "reward": 1.5, "terminated": true, "truncated": false,
        "info": {"note": "x", "final_observation": {"position": [1.0, 2.0], "gear": 1}}})");
    answers[1].error = SimulatorError(SimulatorError::Kind::answered, "refused");
    answers[2].result = Json::parse(R"({"observation": {"position": [3.0, 4.0], "gear": 0},
        "reward": -2.0, "terminated": false, "truncated": true, "info": {}})");
    auto sent = answers;
    norva::sim::v1::JsonReply reply;
    norva_core::sim::vector_messages::answer(&form, answers, true, reply);
    ASSERT_TRUE(reply.has_packed());

    PackedReplies client(sensor, action, 3);
    auto read = client.answers_of(reply.packed(), "step");
    for (std::size_t slot : {0U, 2U}) {
        for (const char* field : {"observation", "reward", "terminated", "truncated"}) {
            EXPECT_EQ(read[slot].result.at(field), sent[slot].result.at(field)) << slot << field;
        }
    }
    EXPECT_EQ(read[0].result.at("info").at("note"), "x");
    EXPECT_EQ(read[0].result.at("info").at("final_observation"),
              sent[0].result.at("info").at("final_observation"));
    EXPECT_FALSE(read[2].result.at("info").contains("final_observation"));
    ASSERT_TRUE(read[1].error);
    EXPECT_EQ(read[1].error->kind(), SimulatorError::Kind::answered);
    EXPECT_STREQ(read[1].error->what(), "refused");

    std::vector<Json> actions{Json::array({0.5, -0.5}), Json::array({1.0, 0.0}),
                              Json::array({-0.25, 0.75})};
    norva::sim::v1::Tensor tensor;
    ASSERT_TRUE(client.put_actions(actions, tensor));
    auto taken = norva_core::sim::actions_of(
        &form, norva_core::sim::vector_messages::tensor_of(tensor), actions.size());
    EXPECT_EQ(taken, actions);
    actions[1] = Json();
    EXPECT_FALSE(client.put_actions(actions, tensor)) << "a null action cannot be a row";
}

}  // namespace
